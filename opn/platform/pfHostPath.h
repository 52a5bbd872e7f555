// Paths as a host hands them to the library's entry points, turned into the
// library's own form (Windows form: drive letter, backslashes).
//
// Windows: host paths already are in that form and are taken as they are
// ('/' separators included; the callers treat '/' like '\').
// POSIX: an absolute POSIX path ("/home/u/x") gets the drive "Z:" and
// backslashes ("Z:\home\u\x"), the mapping of posix/pfPath.h that the file
// functions undo at the OS boundary; any other text (a Windows-form path, a
// relative path) is taken as it is.
#pragma once

#include "opn/core/ovCString.h"

// A null path gives an empty result. False when memory runs out.
bool PfHostPathToLibrary(const char* hostPath, ovCString& libraryPath);
