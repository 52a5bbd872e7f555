// The process-wide elevation choice: 1 at program start, replaced by the host's
// choice when the library is initialised, and read when a program is started
// (1 lets the start ask for elevation where the system supports it).
//
// Threads: any thread, no lock (an atomic): the host's SetHost writes it, the
// library thread reads it.
#pragma once

#include <stdint.h>

int32_t GetElevationFlag();
void SetElevationFlag(int32_t value);
