#include "sdk/support/ServiceLog.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "opn/platform/pfClock.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/support/EnginePath.h"

namespace {

// Room for the path: at most 259 characters and the terminator.
const size_t kPathSize = 260;
// "[" + time + "] " + message + CR LF; lines up to this size stay on the stack.
const size_t kLineBufferSize = 1024;

const char kLogFileFormat[] = "%sconfig\\service.log";

// The kept path. States: 0 not computed, 1 being computed, 2 ready. The first
// thread that gets to 1 fills the buffer; others compute their own copy until
// it is ready, so no lock is needed.
enum { kPathNone = 0, kPathBusy = 1, kPathReady = 2 };
std::atomic<int> g_pathState{kPathNone};
char g_path[kPathSize];

// False when the path does not fit; `out` is then empty.
bool ComputePath(char (&out)[kPathSize]) {
    ovCString folder;
    GetEngineFolder(folder);
    int n = snprintf(out, kPathSize, kLogFileFormat, folder.CStr());
    if (n < 0 || (size_t)n >= kPathSize) {
        out[0] = '\0';
        return false;
    }
    return true;
}

// The path to use, in `scratch` or in the kept buffer.
const char* CurrentPath(char (&scratch)[kPathSize]) {
    if (g_pathState.load(std::memory_order_acquire) == kPathReady)
        return g_path;
    ComputePath(scratch);
    int expected = kPathNone;
    if (g_pathState.compare_exchange_strong(expected, kPathBusy, std::memory_order_acq_rel)) {
        memcpy(g_path, scratch, kPathSize);
        g_pathState.store(kPathReady, std::memory_order_release);
    }
    return scratch;
}

bool IsDebugTrace(const char* message) {
    return strncmp(message, SF_LOG_DEBUG_PREFIX, sizeof SF_LOG_DEBUG_PREFIX - 1) == 0;
}

}  // namespace

void LogWrite(const char* message) {
    if (!message)
        message = "";
    if (IsDebugTrace(message))
        return;

    char scratch[kPathSize];
    const char* path = CurrentPath(scratch);
    if (!path[0])
        return;

    char stamp[kClockTextSize];
    ClockLocalTimeText(stamp, sizeof stamp);
    const size_t stampLength = strlen(stamp);
    const size_t messageLength = strlen(message);
    // "[" stamp "] " message "\r\n"; the message is already in memory, so its
    // length is bounded by what the caller holds.
    const size_t total = 1 + stampLength + 2 + messageLength + 2;
    if (total < messageLength)
        return;  // cannot happen short of a corrupt length

    char small[kLineBufferSize];
    char* line = small;
    if (total > sizeof small) {
        line = static_cast<char*>(malloc(total));
        if (!line)
            return;
    }
    size_t at = 0;
    line[at++] = '[';
    memcpy(line + at, stamp, stampLength);
    at += stampLength;
    memcpy(line + at, "] ", 2);
    at += 2;
    memcpy(line + at, message, messageLength);
    at += messageLength;
    memcpy(line + at, "\r\n", 2);
    at += 2;

    FsAppendFile(path, line, at);
    if (line != small)
        free(line);
}

void LogPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    ovLogFormatTo(&LogWrite, format, args);
    va_end(args);
}

void LogReset() {
    char scratch[kPathSize];
    const char* path = CurrentPath(scratch);
    const size_t length = strlen(path);
    if (length == 0)
        return;

    // Every prefix that ends in '\' (after the first character) is a folder.
    char prefix[kPathSize];
    for (size_t i = 1; i < length; ++i) {
        if (path[i] != '\\')
            continue;
        memcpy(prefix, path, i + 1);
        prefix[i + 1] = '\0';
        if (!FsExists(prefix))
            FsCreateFolder(prefix);
    }
    FsDeleteFile(path);
    FsCreateEmptyFile(path);
}

void LogDebugTrace(const char* format, ...) {
    (void)format;
}

void LogInstallSink() {
    ovLogSetSink(&LogWrite);
}

void LogGetPath(ovCString& out) {
    char scratch[kPathSize];
    out.Assign(CurrentPath(scratch));
}

void LogResetPathForTesting() {
    g_pathState.store(kPathNone, std::memory_order_release);
}
