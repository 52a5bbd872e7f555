#include "sdk/support/EnginePath.h"

#include "opn/platform/pfShellFolders.h"

namespace {

const char kBaseFolderName[] = "Ludra\\";
const char kProgramFolderName[] = "ldDownloader\\";
const char kProgramName[] = "ldDownload.exe";

// No data, so nothing depends on the order of static construction.
CGetPath_Ludra g_pathProvider;

// The running program's folder: its module file name up to, not including,
// the last backslash; the whole name when it has none.
void ProgramFolder(ovCString& out) {
    ovCString module;
    ShellGetModuleFileName(module);
    const char* s = module.CStr();
    int32_t last = -1;
    for (uint32_t i = 0; i < module.Length(); ++i)
        if (s[i] == '\\')
            last = (int32_t)i;
    if (last < 0)
        out = module;
    else
        out.Assign(s, (uint32_t)last);
}

}  // namespace

void CGetPath_Ludra::GetBaseFolder(ovCString& out) {
    if (!ShellGetAppDataFolder(out) || out.IsEmpty())
        ProgramFolder(out);
    if (!out.IsEmpty() && out.CStr()[out.Length() - 1] != '\\')
        out.Append("\\");
    out.Append(kBaseFolderName);
}

void CGetPath_Ludra::GetProgramFolder(ovCString& out) {
    GetBaseFolder(out);
    out.Append(kProgramFolderName);
}

void CGetPath_Ludra::GetProgramPath(ovCString& out) {
    GetProgramFolder(out);
    out.Append(kProgramName);
}

IGetPath& GetPathProvider() {
    return g_pathProvider;
}

void GetEnginePath(ovCString& out) {
    g_pathProvider.GetProgramPath(out);
}

void GetEngineFolder(ovCString& out) {
    g_pathProvider.GetProgramFolder(out);
}
