// Re-entrant blocking lock of the platform: a CRITICAL_SECTION on Windows, a
// recursive pthread mutex on POSIX. Each call answers OV_S_PLATFORM.
#pragma once

#include "opn/core/ovResult.h"

struct PfCriticalSection;  // opaque, defined by the backend

ResultCode CsCreate(PfCriticalSection** section);
ResultCode CsDelete(PfCriticalSection* section);
ResultCode CsEnter(PfCriticalSection* section);
ResultCode CsLeave(PfCriticalSection* section);
// Enters without waiting: OV_S_PLATFORM when entered (also again by the
// owner), OV_E_PLATFORM when another thread holds it.
ResultCode CsTryEnter(PfCriticalSection* section);
