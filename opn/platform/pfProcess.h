// Starting programs.
//
// Windows: ShellExecuteExA (with a verb, "runas" asks for elevation),
// CreateProcessA and WaitForInputIdle on the process handle.
// POSIX: there is no elevation and no shell verb. Both starts fork and exec
// the program (the path mapped as every path is, posix/pfPath.h) with no
// arguments, in a child of its own that is never waited for by the caller
// (a second fork hands it to init, so no zombie stays behind). An exec that
// fails is reported as a failed start, its errno turned into a kPfError...
// code. There is no "idle for input" either: a started program counts as
// ready once exec succeeded, so the wait answers at once.
#pragma once

#include <stdint.h>

#include "opn/platform/pfError.h"

// The running system's version as the Windows version query reports it.
// Windows: GetVersionExW (Wine reports the version it imitates, e.g. 6.1).
// POSIX: not of the NT family, version 0.0, so no start asks for elevation.
struct PfOsVersion {
    uint32_t major;
    uint32_t minor;
    bool ntFamily;
};
bool ProcessGetOsVersion(PfOsVersion* out);

// A started process; closed with ProcessClose.
struct PfProcess;

// Starts `path` (no parameters, no folder, shown normally) with the shell
// verb `verb` ("open", "runas"). True with `*process` set; otherwise false
// with the failure's code in `*error` (pfError.h: the system's own number on
// Windows, kPfErrorCancelled when the user declined elevation,
// kPfErrorFileNotFound for a missing program). POSIX: the verb is not used.
bool ProcessShellExecute(const char* verb, const char* path, PfProcess** process, uint32_t* error);

// Starts the command line `commandLine` (here always a program's path) with
// the caller's environment and current folder. Results as above.
bool ProcessCreate(const char* commandLine, PfProcess** process, uint32_t* error);

// Waits at most `timeoutMs` until the process is idle for input. True when it
// became idle (POSIX: always); false when the time ran out or the process has
// no input queue to wait on (a console program).
bool ProcessWaitForInputIdle(PfProcess* process, uint32_t timeoutMs);

// Frees the handle; the process itself runs on. A null process is ignored.
void ProcessClose(PfProcess* process);
