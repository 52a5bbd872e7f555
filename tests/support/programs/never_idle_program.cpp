// A Windows GUI program that never becomes idle for input: it writes
// "<its own path>.ran", then waits without ever asking for a message until
// "<its own path>.release" appears (60 seconds at most), writes
// "<its own path>.done" and ends.
#include <windows.h>

#include <stdio.h>

#include <string>

namespace {

bool WriteMarker(const std::string& path) {
    FILE* marker = fopen(path.c_str(), "wb");
    if (!marker)
        return false;
    fputs("ran", marker);
    fclose(marker);
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char name[MAX_PATH] = {0};
    if (GetModuleFileNameA(nullptr, name, MAX_PATH) == 0)
        return 1;
    const std::string self = name;
    if (!WriteMarker(self + ".ran"))
        return 1;
    const std::string release = self + ".release";
    for (int i = 0; i < 600; ++i) {
        if (GetFileAttributesA(release.c_str()) != INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(100);
    }
    return WriteMarker(self + ".done") ? 0 : 1;
}
