#include "sdk/download/engine/InstalledEngine.h"

#include "opn/platform/pfFile.h"
#include "sdk/download/engine/CBinaryExecute_V3.h"
#include "sdk/download/engine/EngineVersion.h"
#include "sdk/support/EnginePath.h"
#include "sdk/support/ServiceLog.h"

bool InstalledEngineUsable(ovCString& version) {
    version.Assign("");
    ovCString path;
    GetEnginePath(path);
    // A link could make the start run anything.
    if (path.IsEmpty() || PfFileSoleSize(path.CStr()) <= 0)
        return false;
    return ReadFileVersion(path.CStr(), version) == 1 && !version.IsEmpty();
}

bool StartInstalledEngine() {
    ovCString version;
    if (!InstalledEngineUsable(version)) {
        LogWrite("[SwarmFetchLib] Installed Engine Unusable");
        return false;
    }
    LogPrintf("[SwarmFetchLib] Installed Engine Used (Version: %s)", version.CStr());
    return RunEngine() == 1;
}
