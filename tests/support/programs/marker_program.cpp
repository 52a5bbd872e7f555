// A small program for the program-start tests: writes "<its own path>.ran"
// (containing "ran") and ends. Takes no arguments, as the library starts
// programs without any.
#include <stdio.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

int main(int argc, char** argv) {
    std::string self;
#ifdef _WIN32
    (void)argc;
    (void)argv;
    char name[MAX_PATH] = {0};
    if (GetModuleFileNameA(nullptr, name, MAX_PATH) == 0)
        return 1;
    self = name;
#else
    if (argc < 1 || !argv[0])
        return 1;
    self = argv[0];
#endif
    FILE* marker = fopen((self + ".ran").c_str(), "wb");
    if (!marker)
        return 1;
    fputs("ran", marker);
    fclose(marker);
    return 0;
}
