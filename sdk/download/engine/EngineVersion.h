// The engine's version check: the version the update manifest announces
// against the FileVersion of the installed engine executable.
//
// Manifest (element names in any letter case, attribute names exact):
//   <anything>
//     <all><all url="..." hash="..."/></all>
//     <file><ldDownload.exe url="..." hash="..." ver="1.0.0.7"/> ...</file>
//   </anything>
//
// Threads: functions without shared state: any thread (the update runs them on
// the library thread).
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"

class CXMLParserOrvane;
struct XmlElement;

// The engine executable's file name, and its element below `file`.
extern const char kEngineExecutableName[];

// 1 with the FileVersion text of the program at `path` in `out`; 0 with
// `out` empty when it has none (or there is no file).
int32_t ReadFileVersion(const char* path, ovCString& out);

// The manifest's `file` / "ldDownload.exe" element; null when absent.
const XmlElement* EngineElement(const CXMLParserOrvane& xml);

// The `ver` attribute of the engine's element; empty when absent.
ovCString ReadNewVersion(const CXMLParserOrvane& xml);

struct EngineVersionCheck {
    ovCString newVersion;
    ovCString currentVersion;  // empty when the executable is missing
    // The executable has to be downloaded.
    bool executableNeedsUpdate = false;
    // 2 for a version change (a missing executable included), 1 for an
    // unchanged version without the executable, 0 for nothing to do.
    int32_t updateCount = 0;
    // The manifest's version is older than the installed executable's by
    // CompareVersions, or cannot be ordered against it because only the
    // installed one is a version of numbers. False when the executable has
    // no version (missing, or none that reads as numbers).
    bool olderThanInstalled = false;
};

// Orders two version texts by their numbers: 1 to kMaxVersionParts
// components of 1 to 9 decimal digits, separated by '.' or ',' with spaces
// around allowed (old resources write "1, 0, 0, 2"); a missing component
// counts as 0. `*order` is negative, 0 or positive as `a` is older than,
// as old as or newer than `b` (`order` may be null). False when either
// text is no such version.
const int kMaxVersionParts = 8;
bool CompareVersions(const char* a, const char* b, int* order);

// Compares the manifest's version with the installed executable's (texts,
// byte for byte) and logs "Current Version: ... / New Version: ..." and
// "Update File (Count: u)". False, with nothing logged, when the manifest
// names no version: such a manifest is rejected.
bool CheckEngineVersion(const CXMLParserOrvane& xml, EngineVersionCheck* check);
