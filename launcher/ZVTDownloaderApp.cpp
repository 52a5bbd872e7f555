// The launcher's process: one launcher per file list, then the main dialog
// for the whole life of the process.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include "launcher/LauncherConfig.h"
#include "launcher/AppInstance.h"
#include "launcher/Texts.h"
#include "launcher/ZVTDownloaderDlg.h"
#include "launcher/framework/Prompts.h"

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
