// Path mapping of the POSIX backend.
//
// The library keeps every path in Windows form ("Z:\games\file.bin"). At the
// OS boundary the POSIX backend maps it the way Wine does:
//   Windows form -> POSIX form: a leading drive letter and colon is dropped and
//                               every '\' becomes '/' ("Z:\a\b" -> "/a/b",
//                               "C:\a" -> "/a", "a\b" -> "a/b").
//   POSIX form -> Windows form: an absolute path gets the drive "Z:" and every
//                               '/' becomes '\' ("/a/b" -> "Z:\a\b"); a
//                               relative one only has its slashes turned.
// A '\' inside a POSIX file name cannot be expressed in Windows form and is
// not preserved by a round trip.
#pragma once

#include "opn/core/ovCString.h"

// A null input gives an empty output. PathToPosix answers whether there is
// a path to use (false for null or empty).
bool PathToPosix(const char* windowsPath, ovCString& posixPath);
void PathFromPosix(const char* posixPath, ovCString& windowsPath);
