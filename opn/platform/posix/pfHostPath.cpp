#include "opn/platform/pfHostPath.h"

#include <string.h>

#include "opn/platform/posix/pfPath.h"

bool PfHostPathToLibrary(const char* hostPath, ovCString& libraryPath) {
    libraryPath.Clear();
    if (!hostPath)
        return true;
    if (hostPath[0] != '/')
        return libraryPath.Assign(hostPath);
    PathFromPosix(hostPath, libraryPath);
    // PathFromPosix gives nothing back when it cannot allocate.
    return libraryPath.Length() >= strlen(hostPath);
}
