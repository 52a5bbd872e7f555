// The FileVersion text of a program's version resource.
//
// Windows: the version API (GetFileVersionInfoSizeA, GetFileVersionInfoA,
// VerQueryValueA). "\VarFileInfo\Translation" names the string table when
// it holds exactly one language and code page; otherwise the table of the
// user's default language with code page 04B0 (Unicode) is asked.
//
// POSIX: programs have no resource section. A program that wants a version
// (the stand-in engine, tools/engine/version-resource.py) carries the same
// VS_VERSIONINFO block as data; the reader finds it in the file by its
// UTF-16 key "VS_VERSION_INFO" and walks it with the rules of
// pfVersionBlock.h, the default language being Korean (0412), the language
// of the system code page CP949. Files above kVersionFileMaxSize are not
// searched.
#pragma once

#include <stdint.h>

class ovCString;

// Largest file the POSIX reader searches for a version block.
const int64_t kVersionFileMaxSize = 64 * 1024 * 1024;

// True with the FileVersion text in `out` (system code page); false with
// `out` empty when the path is empty or null, there is no such file, it has
// no version resource or no FileVersion in the table asked for.
bool PfReadFileVersion(const char* path, ovCString& out);
