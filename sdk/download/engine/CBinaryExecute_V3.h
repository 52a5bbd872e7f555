// Starting the local download engine program that the library placed below
// the application-data folder (sdk/support/EnginePath.h says where).
//
// The start asks for elevation ("runas") on NT systems of major version 6
// and above when the host allowed it (Elevation.h), and falls back to an
// unelevated start when the user declines: "open", then a plain process
// start. Other failures go straight to the plain start. Each attempt is
// written to the service log. Once a start succeeded, the caller waits until
// the program is idle for input, at most kInputIdleWaitMs, so a program that
// never becomes idle cannot hold the calling thread for ever.
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"
#include "opn/platform/pfProcess.h"

// Longest wait for a started program to become idle for input.
const uint32_t kInputIdleWaitMs = 5000;
// The system's answer when the user declined the elevation prompt.
const uint32_t kErrorCancelled = kPfErrorCancelled;

class CBinaryExecBase {
  public:
    virtual ~CBinaryExecBase() {}
    // The program to start, in `out`; false when there is none.
    virtual bool GetExecutable(ovCString& out) = 0;
    virtual void SetExecutable(ovCString& out, const ovCString& in) = 0;
};

class CBinaryExecute_V3 : public CBinaryExecBase {
  public:
    // The engine's path when a file exists there.
    bool GetExecutable(ovCString& out) override;
    // Copies `in` to `out`.
    void SetExecutable(ovCString& out, const ovCString& in) override;
    // 1 when a process was started (after the bounded idle wait), else 0.
    int32_t Run();
};

// The global executor's Run.
int32_t RunEngine();

// "runas" on an NT system above major version 5 with elevation allowed
// (`elevation` 1), otherwise "open".
const char* ChooseExecuteVerb(const PfOsVersion& os, int32_t elevation);
// ChooseExecuteVerb for this system and the process-wide elevation flag.
const char* ExecuteVerb();

// The process starts the executor goes through. Tests replace them to play
// a user who declines elevation; null restores the platform's.
struct ProcessStarter {
    bool (*shellExecute)(const char* verb, const char* path, PfProcess** process, uint32_t* error);
    bool (*create)(const char* commandLine, PfProcess** process, uint32_t* error);
};
void SetProcessStarterForTesting(const ProcessStarter* starter);
