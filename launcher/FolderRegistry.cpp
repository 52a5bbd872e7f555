#include "launcher/FolderRegistry.h"

const char kDownloadPathKey[] = "SOFTWARE\\Orvane Inc.\\DownloadPath";

namespace {

LONG CreateForWriting(HKEY root, const char* path, HKEY* key) {
    return RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, key,
                           nullptr);
}

RegistryKeyCreator g_creator = CreateForWriting;

bool WriteValue(HKEY root, const std::string& name, const std::string& folder) {
    HKEY key = nullptr;
    if (g_creator(root, kDownloadPathKey, &key) != ERROR_SUCCESS)
        return false;
    const LONG written =
        RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                       static_cast<DWORD>(folder.size() + 1));
    RegCloseKey(key);
    return written == ERROR_SUCCESS;
}

}  // namespace

void SetRegistryKeyCreatorForTesting(RegistryKeyCreator creator) {
    g_creator = creator ? creator : CreateForWriting;
}

HKEY StoreDownloadFolderValue(const std::string& name, const std::string& folder) {
    if (WriteValue(HKEY_LOCAL_MACHINE, name, folder))
        return HKEY_LOCAL_MACHINE;
    if (WriteValue(HKEY_CURRENT_USER, name, folder))
        return HKEY_CURRENT_USER;
    return nullptr;
}

std::string ReadDownloadFolderValue(HKEY root, const std::string& name) {
    char text[kStoredFolderMax + 1] = {0};
    DWORD size = sizeof(text);
    // Only REG_SZ, always returned terminated; a longer text fails whole.
    if (RegGetValueA(root, kDownloadPathKey, name.c_str(), RRF_RT_REG_SZ, nullptr, text, &size) !=
        ERROR_SUCCESS)
        return std::string();
    return std::string(text);
}

std::string StoredDownloadFolder(const std::string& name, size_t longestFileName,
                                 const RefusedFolders& refused) {
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        std::string folder =
            AcceptStoredFolder(ReadDownloadFolderValue(root, name), longestFileName, refused);
        if (!folder.empty())
            return folder;
    }
    return std::string();
}
