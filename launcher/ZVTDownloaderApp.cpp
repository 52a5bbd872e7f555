// The launcher's process: one launcher per file list, then the main dialog
// for the whole life of the process.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include "launcher/LauncherConfig.h"
#include "launcher/SingleInstance.h"
#include "launcher/Texts.h"
#include "launcher/ZVTDownloaderDlg.h"
#include "launcher/framework/Prompts.h"

namespace {

// A second launcher for the same file list says so and brings the first to
// the front. True when this process is the second.
bool AnotherLauncherRuns(const LauncherConfig& config) {
    std::string name = InstanceMutexName(config.fileListUrl);
    // Kept open for the life of the process: it is what the next launcher finds.
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
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), 0xFF};
    InitCommonControlsEx(&controls);
    // The skin pictures are read through OLE.
    OleInitialize(nullptr);
    LauncherConfig config = DefaultLauncherConfig();
    if (!AnotherLauncherRuns(config)) {
        SetApplicationName(config.gameName);
        CZVTDownloaderDlg dialog(config);
        dialog.DoModal();
    }
    OleUninitialize();
    return 0;
}
