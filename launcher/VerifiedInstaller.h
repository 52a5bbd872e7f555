// Starting the installer that was checked, and no other file. The installer
// is held open from before its check until its process exists, so that no
// one writes, renames or deletes it meanwhile, and hashed through that hold.
// Its process is made suspended, and goes on only when its image is the
// held file (same volume and file index, and the same final path); a folder
// moved away, a link or any swap that put other bytes under the name ends
// that process before it ran a single instruction.
//
// A program that asks for elevation in its manifest cannot be made
// suspended by the launcher: it is started through the shell with the verb
// "runas" and checked right after; another image is ended at once.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

struct ExpectedContent;

enum class InstallerStart {
    kStarted,     // the checked file runs and was idle for input, or the wait ended
    kMissing,     // no file at the path
    kUnverified,  // other bytes, unreadable, or a process of another image
    kNotStarted,  // the checked file could not be started (or elevation was declined)
};

// Holds and hashes the file at `path` against `expected` (which carries a
// sha256, and a size unless -1), starts it, checks its image and waits up to
// `idleWaitMs` until it is idle for input.
InstallerStart StartVerifiedInstaller(const std::string& path, const ExpectedContent& expected,
                                      DWORD idleWaitMs);

// For tests: runs between the check and the start (empty: nothing).
void SetInstallerCheckedHookForTesting(std::function<void()> hook);
