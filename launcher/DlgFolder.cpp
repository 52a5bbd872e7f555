// The download folder: the one an earlier run stored or the default below
// the Program Files drive, the player's choice through the folder browser
// with its refusals, and the registry value that names the choice for the
// game's own tools.
#include "launcher/ZVTDownloaderDlg.h"

#include <direct.h>
#include <shlobj.h>
#include <stdio.h>

#include "launcher/DisplayFormat.h"
#include "launcher/FileList.h"
#include "launcher/FolderRegistry.h"
#include "launcher/FolderRules.h"
#include "launcher/Texts.h"
#include "launcher/framework/Prompts.h"

namespace {

std::string SpecialFolder(int csidl) {
    char path[MAX_PATH] = {0};
    if (!SHGetSpecialFolderPathA(nullptr, path, csidl, FALSE))
        return std::string();
    return path;
}

// The Program Files folder ("C:\Program Files"), empty when unknown.
std::string ProgramFilesFolder() {
    char path[MAX_PATH] = {0};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, path)))
        return std::string();
    return path;
}

}  // namespace

int64_t CZVTDownloaderDlg::FreeBytes(const std::string& path) {
    if (path.size() < 2 || path[1] != ':')
        return 0;
    std::string root = path.substr(0, 2) + "\\";
    ULARGE_INTEGER available, total, totalFree;
    if (!GetDiskFreeSpaceExA(root.c_str(), &available, &total, &totalFree))
        return 0;
    return (int64_t)totalFree.QuadPart;
}

void CZVTDownloaderDlg::OnChooseFolder() {
    if (m_job || m_completed)
        return;
    if (GetFileAttributesA(m_folder.c_str()) == INVALID_FILE_ATTRIBUTES)
        _mkdir(m_folder.c_str());

    std::string needed = FormatSize(TotalSize());
    char title[512];
    snprintf(title, sizeof(title), texts::kFolderTitleFormat, needed.c_str());
    FolderRequest request;
    request.owner = m_hWnd;
    request.title = title;
    request.flags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN | BIF_STATUSTEXT;
    request.initialFolder = m_folder;
    request.statusText = [needed](const std::string& folder) {
        char status[512];
        snprintf(status, sizeof(status), texts::kFolderStatusFormat, needed.c_str(),
                 FormatSize(FreeBytes(folder)).c_str());
        return std::string(status);
    };
    std::string chosen;
    if (!Prompts().BrowseForFolder(request, &chosen))
        return;
    chosen = WithTrailingBackslash(chosen);

    switch (CheckChosenFolder(chosen, LongestFileName(m_urls), SystemFolders())) {
        case FolderVerdict::kTooLong:
            Message(texts::kFolderTooLong);
            return;
        case FolderVerdict::kRefused:
            Message(texts::kFolderRefused);
            return;
        case FolderVerdict::kAccepted:
            break;
    }
    m_folder = chosen;
    UpdateData(false);
}

void CZVTDownloaderDlg::StoreDownloadFolder() {
    // A folder that neither root takes is not remembered; nothing else
    // depends on it.
    StoreDownloadFolderValue(m_config.folderName, m_folder);
}

std::string CZVTDownloaderDlg::InitialDownloadFolder() const {
    std::string stored =
        StoredDownloadFolder(m_config.folderName, LongestFileName(m_urls), SystemFolders());
    return stored.empty() ? DefaultDownloadFolder(ProgramFilesFolder(), m_config.folderName)
                          : stored;
}

RefusedFolders CZVTDownloaderDlg::SystemFolders() {
    RefusedFolders refused;
    refused.computer = SpecialFolder(CSIDL_DRIVES);
    refused.windows = SpecialFolder(CSIDL_WINDOWS);
    refused.engine = EngineInstallFolder(ProgramFilesFolder());
    return refused;
}
