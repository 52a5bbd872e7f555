#include "opn/platform/pfProgramFile.h"

#include <windows.h>

bool PfMarkProgramFile(const char* path) {
    if (!path || !path[0])
        return false;
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
