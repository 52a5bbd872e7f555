// Where the chosen download folder is remembered for the game's own tools
// and the next run: the value named by the game's folder name under
// SOFTWARE\Orvane Inc.\DownloadPath, machine-wide in HKEY_LOCAL_MACHINE.
// A player who runs the launcher unelevated under UAC may not write there;
// then the same key path under HKEY_CURRENT_USER holds it. Readers look at
// the machine-wide value first, then at the player's own.
#pragma once

#include <windows.h>

#include <string>

#include "launcher/FolderRules.h"

extern const char kDownloadPathKey[];

// Writes `folder` as the value `name`: machine-wide when that write
// succeeds, else for the current user. Returns the root that took it,
// null when neither did.
HKEY StoreDownloadFolderValue(const std::string& name, const std::string& folder);

// The text stored as `name` under `root` (HKEY_LOCAL_MACHINE or
// HKEY_CURRENT_USER); "" when there is none, it is no string or it is longer
// than kStoredFolderMax bytes. The text is not checked here.
std::string ReadDownloadFolderValue(HKEY root, const std::string& name);
const size_t kStoredFolderMax = 512;

// The first stored folder, machine-wide first, that could be chosen now
// (AcceptStoredFolder); "" when neither root holds one.
std::string StoredDownloadFolder(const std::string& name, size_t longestFileName,
                                 const RefusedFolders& refused);

// Test seam: opens (creating it when missing) `path` under `root` for
// writing, as RegCreateKeyExA does; tests refuse the machine-wide key the
// way UAC does for an unelevated program. Null restores the system call.
using RegistryKeyCreator = LONG (*)(HKEY root, const char* path, HKEY* key);
void SetRegistryKeyCreatorForTesting(RegistryKeyCreator creator);
