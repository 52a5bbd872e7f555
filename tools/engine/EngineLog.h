// The engine's log lines: "ldDownload: <text>" on stderr and, when the
// environment names one (SF_ENGINE_LOG), appended to that file as well.
#pragma once

void EngineLog(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
