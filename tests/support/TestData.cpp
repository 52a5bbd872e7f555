#include "support/TestData.h"

#include <stdio.h>
#include <stdlib.h>

namespace sftest {

std::string DataPath(const std::string& relative) {
    const char* dir = getenv("SF_TEST_DATA_DIR");
    std::string path = dir ? dir : ".";
#ifdef _WIN32
    // ctest hands a POSIX path to the Wine program; Wine's Z: drive is "/".
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    std::string rel = relative;
    for (char& c : rel)
        if (c == '/')
            c = '\\';
    return path + "\\" + rel;
#else
    return path + "/" + relative;
#endif
}

std::vector<unsigned char> ReadFile(const std::string& path, bool* ok) {
    std::vector<unsigned char> bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (ok)
        *ok = f != nullptr;
    if (!f)
        return bytes;
    unsigned char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(f);
    return bytes;
}

}  // namespace sftest
