// Which download folders the launcher offers and accepts. Paths are narrow
// Windows paths in the system code page; every comparison is an exact text
// comparison (letter case counts), as the player's choice is shown back as
// it was typed.
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
