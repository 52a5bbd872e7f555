// One launcher per file list, for the Windows program.
#pragma once

#include "launcher/LauncherConfig.h"

// Claims the launcher's mutex for the file list (kept for the life of the
// process: it is what the next launcher finds). When another launcher holds
// it, says so and brings that launcher's window to the front, restoring it
// when minimised; true then, and this process should end.
bool AnotherLauncherRuns(const LauncherConfig& config);
