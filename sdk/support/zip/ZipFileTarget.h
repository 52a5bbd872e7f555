// Where extraction puts folders and files: the one seam between the zip
// reader and the file system.
//
// The reader composes every target path itself, as a narrow string in the
// system code page, and hands the finished path to a target. The skin of the
// launcher uses the narrow target below; the engine's extraction plugs in a
// target that widens each path to UTF-16 and uses the wide file calls.
// Everything else (names, confinement, lengths, data, times) is shared.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sdk/support/zip/ZipReader.h"

struct FsFile;

class IZipFileTarget {
  public:
    virtual ~IZipFileTarget() {}
    // True when a file or folder exists at `path`.
    virtual bool Exists(const char* path) = 0;
    // Creates one folder whose parent exists; true when it exists afterwards.
    virtual bool CreateFolder(const char* path) = 0;
    // Creates the file for writing, shared with nobody, replacing a file of
    // that name, with the Windows attribute bits `attributes`; null on
    // failure. The reader writes through Write, then sets the times and
    // closes it with FsSetFileTimes / FsCloseFile.
    virtual FsFile* CreateOutputFile(const char* path, uint32_t attributes) = 0;
    // Appends `size` bytes to a file made by CreateOutputFile; false when
    // they cannot be written (or a target refuses them), which fails the
    // entry. FsWriteFile unless a target counts or bounds its output.
    virtual bool Write(FsFile* file, const void* data, size_t size);
};

// The target of the narrow file calls (paths in the system code page).
IZipFileTarget& ZipNarrowFileTarget();

// The target of the wide file calls: each path is converted from the system
// code page to UTF-16 first (bytes that form no character become '?'). A
// path that cannot be converted counts as missing and cannot be created.
IZipFileTarget& ZipWideFileTarget();

// `narrow` (system code page, shorter than kZipPathSize bytes) as UTF-16 the
// way ZipWideFileTarget converts it; false when it cannot be converted.
bool ZipWidenPath(const char* narrow, char16_t (&out)[kZipPathSize]);
