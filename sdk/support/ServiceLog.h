// The service log: one plain-text file with one time-stamped line per event,
//   "[" + local time in ctime layout (24 characters) + "] " + message + CR LF,
// kept at <engine folder>config\service.log.
//
// Each line is composed in memory and appended with a single write, so the
// lines of threads writing at once stay whole; the file is opened in binary
// mode so a line ends in exactly CR LF on every platform. There is no lock
// and no error report: a line that cannot be written is lost.
#pragma once

#include "opn/core/ovCString.h"
#include "opn/core/ovLog.h"  // SF_PRINTF_FORMAT, SF_LOG_DEBUG_PREFIX

// Appends one line. A null message counts as empty; a debug trace is dropped.
void LogWrite(const char* message);

// Formats with printf rules and appends the result as one line. Messages up
// to 512 bytes (with the terminator) use a fixed buffer, longer ones a heap
// buffer of the exact size.
void LogPrintf(const char* format, ...) SF_PRINTF_FORMAT(1, 2);

// Creates every missing folder of the log's path, then deletes the file and
// creates it again empty.
void LogReset();

// Debug traces ("[SwarmFetchLib_D] ..."): accepted and discarded.
void LogDebugTrace(const char* format, ...) SF_PRINTF_FORMAT(1, 2);

// The log's full path (computed on first use and kept); empty when the path
// would be longer than 259 characters, in which case nothing is logged.
void LogGetPath(ovCString& out);

// Makes this log the sink of the network stack's messages (opn/core/ovLog.h);
// the library does it when it starts.
void LogInstallSink();

// For tests only: forgets the kept path, so that the next call computes it
// again from the current engine folder.
void LogResetPathForTesting();
