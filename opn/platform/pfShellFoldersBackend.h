// The system's own answer for the shell folders of pfShellFolders.h: one per
// backend (posix/pfShellFolders.cpp, win32/pfShellFolders.cpp), used only
// by pfShellFoldersCommon.cpp, which puts the test override in front.
#pragma once

#include "opn/core/ovCString.h"

// The application-data folder as ShellGetAppDataFolder describes it; false
// when there is none.
bool ShellBackendAppDataFolder(ovCString& out);
