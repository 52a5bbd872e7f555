// Which download folders the launcher offers and accepts. Paths are narrow
// Windows paths in the system code page (949). Folders are compared the way
// Windows compares file names: without regard to the case of letters. Only
// single-byte letters are folded; both bytes of a double-byte character stay
// as they are, so a trail byte that happens to be a letter's code never
// matches another character. The player's choice is kept and shown as typed.
#pragma once

#include <stddef.h>

#include <string>

// Longest accepted folder: folder + longest file name + 1 stays within this.
const size_t kDownloadPathMax = 250;
// File names shorter than this still reserve this much room.
const size_t kReservedFileName = 32;

// "<drive of Program Files>\Download\<folderName>\", e.g. C:\Download\brightwave7\ .
std::string DefaultDownloadFolder(const std::string& programFiles, const std::string& folderName);
// "<Program Files>\Orvane\ZVTDownloader\": the engine's own folder.
std::string EngineInstallFolder(const std::string& programFiles);
// `path` with a backslash at its end.
std::string WithTrailingBackslash(const std::string& path);

// The system folders a chosen path is measured against.
struct RefusedFolders {
    std::string computer;  // the shell's computer folder (often empty)
    std::string windows;   // the Windows folder, without trailing backslash
    std::string engine;    // EngineInstallFolder
};

enum class FolderVerdict {
    kAccepted,
    kTooLong,  // "선택하신 경로의 길이가 너무 길어 사용하실 수 없습니다."
    kRefused,  // "선택하신 경로는 사용하실 수 없습니다."
};

// `folder` ends in a backslash. The length rule comes first; a folder that
// starts with the Windows folder's text is refused.
FolderVerdict CheckChosenFolder(const std::string& folder, size_t longestFileName,
                                const RefusedFolders& refused);

// `text` with every single-byte letter in upper case (see above).
std::string FoldedForComparison(const std::string& text);
// Whether `a` and `b` name the same folder text, letter case aside.
bool SameFolderText(const std::string& a, const std::string& b);
// Whether `text` begins with `prefix`, letter case aside.
bool StartsWithFolderText(const std::string& text, const std::string& prefix);

// A folder read back from where an earlier run stored it: accepted only in
// drive form ("X:\..."), as names Windows keeps as written (no name ending
// in a dot or a space, no "~" before a digit as in a short name, every lead
// byte with a trail byte), of the lengths and
// outside the folders that the
// choice itself allows. Returns it with a final backslash, or "" when refused.
std::string AcceptStoredFolder(const std::string& stored, size_t longestFileName,
                               const RefusedFolders& refused);
