// Where the network stack and the foundation write their messages. They know
// no log file: the download library installs its service log as the sink
// when it starts (SwarmFetch_Initialize). Until a sink is installed, messages
// go nowhere.
#pragma once

#include <stdarg.h>
#include <stdio.h>  // defines __MINGW_PRINTF_FORMAT on mingw

// The format checker must know the printf flavour that vsnprintf really is:
// mingw's C99 one when mingw provides it.
#if defined(__MINGW_PRINTF_FORMAT)
#define SF_PRINTF_FORMAT(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))
#elif defined(__GNUC__)
#define SF_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define SF_PRINTF_FORMAT(fmt, args)
#endif

// Messages that begin with this are debug traces and never reach the file.
#define SF_LOG_DEBUG_PREFIX "[SwarmFetchLib_D]"

// Takes one message (never null); called from any thread, so it must be
// safe to call from several at once.
typedef void (*ovLogSink)(const char* message);

// Installs the sink for the whole process; null: messages go nowhere.
void ovLogSetSink(ovLogSink sink);

// Formats with printf rules and hands the result to the sink as one message.
void ovLogPrintf(const char* format, ...) SF_PRINTF_FORMAT(1, 2);

// Debug traces ("[SwarmFetchLib_D] ..."): accepted and discarded.
void ovLogDebugTrace(const char* format, ...) SF_PRINTF_FORMAT(1, 2);

// Formats with printf rules and hands the result to `write`: messages up to
// 512 bytes (with the terminator) from a fixed buffer, longer ones from a
// heap buffer of the exact size. Nothing is written for a null format, a
// format error or when memory runs out.
void ovLogFormatTo(ovLogSink write, const char* format, va_list args) SF_PRINTF_FORMAT(2, 0);
