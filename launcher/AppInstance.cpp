#include "launcher/AppInstance.h"

#include <windows.h>

#include "launcher/SingleInstance.h"
#include "launcher/Texts.h"
#include "launcher/framework/Prompts.h"

bool AnotherLauncherRuns(const LauncherConfig& config) {
    std::string name = InstanceMutexName(config.fileListUrl);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    if (!mutex || GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    ShowMessage(nullptr, texts::kAlreadyRunning, config.gameName, MB_OK);
    HWND first = FindWindowA(nullptr, config.gameName.c_str());
    if (first) {
        if (IsIconic(first))
            ShowWindow(first, SW_RESTORE);
        SetForegroundWindow(first);
    }
    // Only this process's own claim is closed; the first launcher keeps its.
    CloseHandle(mutex);
    return true;
}
