// The engine already on this machine, started while an update is slower than
// its deadline: the jobs need not wait for the update, nor go to the plain
// downloader, when a working engine is there. The update is not finished in
// the background (it would replace the program the jobs run on): its archive
// bytes are kept (PartialArchive.h) and the next run goes on from them.
//
// Working means what the update itself looks at: the engine program is a
// sole file (pfFile.h: regular, no link, one name) and has a FileVersion
// (EngineVersion.h).
//
// Threads: the library thread (the start waits for the program, bounded by
// kInputIdleWaitMs).
#pragma once

#include "opn/core/ovCString.h"

// True with the installed engine's version in `version` when it can be used.
bool InstalledEngineUsable(ovCString& version);

// Starts the installed engine when it can be used; true when it was started.
bool StartInstalledEngine();
