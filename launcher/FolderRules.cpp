#include "launcher/FolderRules.h"

std::string DefaultDownloadFolder(const std::string& programFiles, const std::string& folderName) {
    // The drive as a path splitter gives it: "C:" for a drive path, nothing
    // for a UNC or relative one.
    std::string drive;
    if (programFiles.size() >= 2 && programFiles[1] == ':')
        drive = programFiles.substr(0, 2);
    return drive + "\\Download\\" + folderName + "\\";
}

std::string EngineInstallFolder(const std::string& programFiles) {
    return WithTrailingBackslash(programFiles) + "Orvane\\ZVTDownloader\\";
}

std::string WithTrailingBackslash(const std::string& path) {
    if (!path.empty() && path.back() == '\\')
        return path;
    return path + "\\";
}

FolderVerdict CheckChosenFolder(const std::string& folder, size_t longestFileName,
                                const RefusedFolders& refused) {
    size_t reserve = longestFileName < kReservedFileName ? kReservedFileName : longestFileName;
    if (folder.size() + reserve + 1 > kDownloadPathMax)
        return FolderVerdict::kTooLong;
    if (folder == refused.computer + "\\" || folder == "C:\\" || folder == refused.engine)
        return FolderVerdict::kRefused;
    // Over the Windows folder's own length only, so its siblings that share
    // the prefix ("C:\\WindowsApps") are refused with it.
    const std::string& windows = refused.windows;
    if (!windows.empty() && folder.compare(0, windows.size(), windows) == 0)
        return FolderVerdict::kRefused;
    return FolderVerdict::kAccepted;
}
