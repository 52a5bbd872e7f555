// The shell folder answers that need no backend: the test override of the
// application-data folder in front of the system's answer.
#include "opn/platform/pfShellFolders.h"

#include "opn/platform/pfShellFoldersBackend.h"

namespace {

// Test override of the application-data folder: 0 none, 1 the text below,
// 2 unobtainable. Set by tests before the code under test runs.
int g_appDataOverride = 0;

ovCString& AppDataOverrideText() {
    static ovCString text;
    return text;
}

}  // namespace

bool ShellGetAppDataFolder(ovCString& out) {
    out.Clear();
    if (g_appDataOverride == 2)
        return false;
    if (g_appDataOverride == 1) {
        out = AppDataOverrideText();
        return !out.IsEmpty();
    }
    if (!ShellBackendAppDataFolder(out)) {
        out.Clear();
        return false;
    }
    return !out.IsEmpty();
}

void ShellSetAppDataFolderForTesting(const char* folder) {
    AppDataOverrideText().Assign(folder && folder[0] ? folder : "");
    g_appDataOverride = !folder ? 0 : folder[0] ? 1 : 2;
}
