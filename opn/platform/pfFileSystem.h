// Files and folders of the platform. Every path is a narrow Windows-form path
// in the system code page ("C:\dir\file"); the POSIX backend maps it (see
// posix/pfPath.h). A null path fails.
#pragma once

#include <stddef.h>

// Appends the whole buffer to the end of the file, creating the file when it
// is missing. The data goes out in one append write (POSIX O_APPEND, Windows
// FILE_APPEND_DATA), so appends of several threads or processes do not cut
// into each other. False when the file cannot be opened or not all bytes were
// written.
bool FsAppendFile(const char* path, const void* data, size_t size);

// Creates one folder (its parent must exist). True when the folder exists
// afterwards, also when it was already there.
bool FsCreateFolder(const char* path);

// True when a file or a folder exists at the path.
bool FsExists(const char* path);

// True when a folder exists at the path.
bool FsIsFolder(const char* path);

// Deletes a file (not a folder). False when it could not be deleted, also
// when it did not exist.
bool FsDeleteFile(const char* path);

// Creates the file empty, or empties it when it exists.
bool FsCreateEmptyFile(const char* path);

// Creates the folder and every missing folder above it. Separators may be
// '\' or '/'; the root ("C:\", "/", "\\server\share\") is never created.
// True when the folder exists afterwards.
bool FsCreateFolders(const char* folder);
