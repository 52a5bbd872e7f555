#include "opn/platform/pfHostPath.h"

bool PfHostPathToLibrary(const char* hostPath, ovCString& libraryPath) {
    libraryPath.Clear();
    return !hostPath || libraryPath.Assign(hostPath);
}
