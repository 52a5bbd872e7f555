// Shell folders of the platform, as narrow Windows-form paths in the system
// code page.
#pragma once

#include "opn/core/ovCString.h"

// The user's application-data folder, without a trailing backslash (except
// for a drive root).
// Windows: SHGetSpecialFolderPathA(CSIDL_APPDATA), e.g.
// "C:\Users\kim\AppData\Roaming". POSIX: $XDG_DATA_HOME when it is an
// absolute path, else $HOME/.local/share when HOME is absolute, in Windows
// form ("Z:\home\kim\.local\share"). False with `out` empty when there is no
// such folder. The folder is not created.
bool ShellGetAppDataFolder(ovCString& out);

// Full file name of the running program, e.g. "C:\Games\ZVTDownloader.exe"
// (POSIX: the target of /proc/self/exe in Windows form). False with `out`
// empty when it cannot be read.
bool ShellGetModuleFileName(ovCString& out);

// For tests only: replaces the answer of ShellGetAppDataFolder in this
// process. A null `folder` restores the system's answer; an empty one makes
// the folder unobtainable; any other text is returned as it is.
void ShellSetAppDataFolderForTesting(const char* folder);
