#include "sdk/download/engine/CBinaryExecute_V3.h"

#include <atomic>

#include "opn/platform/pfFileSystem.h"
#include "sdk/support/EnginePath.h"
#include "sdk/download/engine/Elevation.h"
#include "sdk/support/ServiceLog.h"

namespace {

// No data, so nothing depends on the order of static construction.
CBinaryExecute_V3 g_executor;

const ProcessStarter kPlatformStarter = {&ProcessShellExecute, &ProcessCreate};
std::atomic<const ProcessStarter*> g_starter{&kPlatformStarter};

// The last attempt: a plain process start, numbered `attempt` in the log.
bool StartPlain(const ProcessStarter& starter, const char* path, int attempt, PfProcess** process) {
    uint32_t error = 0;
    if (starter.create(path, process, &error)) {
        LogPrintf("[SwarmFetchLib] Execute OK(%d)", attempt);
        return true;
    }
    LogPrintf("[SwarmFetchLib] Execute Fail(%d) %s:%d", attempt, path, (int)error);
    return false;
}

}  // namespace

bool CBinaryExecute_V3::GetExecutable(ovCString& out) {
    ovCString path;
    GetEnginePath(path);
    if (path.IsEmpty() || !FsExists(path.CStr()))
        return false;
    SetExecutable(out, path);
    return true;
}

void CBinaryExecute_V3::SetExecutable(ovCString& out, const ovCString& in) {
    out = in;
}

int32_t CBinaryExecute_V3::Run() {
    ovCString program;
    if (!GetExecutable(program)) {
        LogWrite("[SwarmFetchLib] Run Binary (no executable file)");
        return 0;
    }
    const char* path = program.CStr();
    const ProcessStarter& starter = *g_starter.load();
    PfProcess* process = nullptr;
    uint32_t error = 0;
    if (starter.shellExecute(ExecuteVerb(), path, &process, &error)) {
        LogWrite("[SwarmFetchLib] Execute OK(0)");
    } else if (error == kErrorCancelled) {
        // A refused elevation never ends the chain: start unelevated.
        LogPrintf("[SwarmFetchLib] Execute Fail(0) %s:%d", path, (int)error);
        if (starter.shellExecute("open", path, &process, &error)) {
            LogWrite("[SwarmFetchLib] Execute OK(1)");
        } else {
            LogPrintf("[SwarmFetchLib] Execute Fail(1) %s:%d", path, (int)error);
            if (!StartPlain(starter, path, 2, &process))
                return 0;
        }
    } else {
        LogPrintf("[SwarmFetchLib] Execute Fail(0) %s:%d", path, (int)error);
        if (!StartPlain(starter, path, 3, &process))
            return 0;
    }
    LogWrite("[SwarmFetchLib] Begin WFII");
    // Bounded: a program that never becomes idle must not hold this thread.
    ProcessWaitForInputIdle(process, kInputIdleWaitMs);
    LogWrite("[SwarmFetchLib] End WFII");
    ProcessClose(process);
    return 1;
}

int32_t RunEngine() {
    return g_executor.Run();
}

const char* ChooseExecuteVerb(const PfOsVersion& os, int32_t elevation) {
    return os.ntFamily && os.major > 5 && elevation == 1 ? "runas" : "open";
}

const char* ExecuteVerb() {
    PfOsVersion os = {0, 0, false};
    ProcessGetOsVersion(&os);
    return ChooseExecuteVerb(os, GetElevationFlag());
}

void SetProcessStarterForTesting(const ProcessStarter* starter) {
    g_starter.store(starter ? starter : &kPlatformStarter);
}
