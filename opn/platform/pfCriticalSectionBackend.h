// The system lock under the critical sections of pfCriticalSection.h: one per
// backend (posix/pfCriticalSection.cpp, win32/pfCriticalSection.cpp), used
// only by pfCriticalSectionCommon.cpp, which turns them into result codes.
// Each takes a section that is not null.
#pragma once

#include "opn/platform/pfCriticalSection.h"

// A new re-entrant lock; null when it cannot be made.
PfCriticalSection* CsBackendNew();
void CsBackendDelete(PfCriticalSection* section);
bool CsBackendEnter(PfCriticalSection* section);
// False when another thread holds it.
bool CsBackendTryEnter(PfCriticalSection* section);
bool CsBackendLeave(PfCriticalSection* section);
