#include "launcher/FolderRules.h"

namespace {

// Lead bytes of code page 949's double-byte characters.
bool IsLeadByte(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

// Trail bytes of code page 949: any other byte after a lead byte is a
// character of its own, which the lead byte must not hide.
bool IsTrailByte(unsigned char c) {
    return (c >= 0x41 && c <= 0x5A) || (c >= 0x61 && c <= 0x7A) || (c >= 0x81 && c <= 0xFE);
}

bool IsDriveLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Nothing but folder names after "X:\\": no control characters, none of the
// characters Windows keeps out of names, no part that climbs (".."), no
// name ending in a dot or a space (Windows drops those, so "C:\\...\\" is
// "C:\\"), no short name.
bool IsPlainFolderPath(const std::string& path) {
    for (size_t i = 3; i < path.size(); ++i) {
        const unsigned char c = (unsigned char)path[i];
        if (IsLeadByte(c)) {
            if (++i == path.size() || !IsTrailByte((unsigned char)path[i]))
                return false;  // a lead byte without a trail byte
            continue;
        }
        if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' ||
            c == '?' || c == '*' || c == '/')
            return false;
        if ((c == '.' || c == ' ') && (i + 1 == path.size() || path[i + 1] == '\\'))
            return false;
        // "~" and a digit may be a short name, which could stand for any
        // folder ("C:\\WINDOW~1" for the Windows folder).
        if (c == '~' && i + 1 < path.size() && path[i + 1] >= '0' && path[i + 1] <= '9')
            return false;
    }
    const std::string folder = WithTrailingBackslash(path);
    return folder.find("\\..\\") == std::string::npos &&
           folder.find("\\.\\") == std::string::npos && folder.find("\\\\", 2) == std::string::npos;
}

}  // namespace

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
    if (SameFolderText(folder, refused.computer + "\\") || SameFolderText(folder, "C:\\") ||
        SameFolderText(folder, refused.engine))
        return FolderVerdict::kRefused;
    // Over the Windows folder's own length only, so its siblings that share
    // the prefix ("C:\\WindowsApps") are refused with it.
    const std::string& windows = refused.windows;
    if (!windows.empty() && StartsWithFolderText(folder, windows))
        return FolderVerdict::kRefused;
    return FolderVerdict::kAccepted;
}

std::string FoldedForComparison(const std::string& text) {
    std::string folded = text;
    for (size_t i = 0; i < folded.size(); ++i) {
        const unsigned char c = (unsigned char)folded[i];
        if (IsLeadByte(c)) {
            ++i;  // its trail byte is no letter of its own
        } else if (c >= 'a' && c <= 'z') {
            folded[i] = (char)(c - 'a' + 'A');
        }
    }
    return folded;
}

bool SameFolderText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && FoldedForComparison(a) == FoldedForComparison(b);
}

bool StartsWithFolderText(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size())
        return false;
    // Folded whole, so a double-byte character cut by the prefix's end is
    // still read as one.
    return FoldedForComparison(text).compare(0, prefix.size(), FoldedForComparison(prefix)) == 0;
}

std::string AcceptStoredFolder(const std::string& stored, size_t longestFileName,
                               const RefusedFolders& refused) {
    if (stored.size() < 3 || !IsDriveLetter(stored[0]) || stored[1] != ':' || stored[2] != '\\' ||
        !IsPlainFolderPath(stored))
        return std::string();
    std::string folder = WithTrailingBackslash(stored);
    if (CheckChosenFolder(folder, longestFileName, refused) != FolderVerdict::kAccepted)
        return std::string();
    return folder;
}
