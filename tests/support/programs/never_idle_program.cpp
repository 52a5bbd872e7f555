// A Windows GUI program that never becomes idle for input: it writes
// "<its own path>.ran" and then sleeps, without ever asking for a message,
// for longer than the library's idle wait, and ends.
#include <windows.h>

#include <stdio.h>

#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char name[MAX_PATH] = {0};
    if (GetModuleFileNameA(nullptr, name, MAX_PATH) == 0)
        return 1;
    FILE* marker = fopen((std::string(name) + ".ran").c_str(), "wb");
    if (!marker)
        return 1;
    fputs("ran", marker);
    fclose(marker);
    Sleep(10000);
    return 0;
}
