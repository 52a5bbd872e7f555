#include "sdk/download/SizeMemory.h"

#include <mutex>

#include "opn/core/ovCString.h"
#include "opn/opeerqos/cpCTimer.h"

namespace {

struct Entry {
    ovCString url;
    int64_t size = -1;
    int64_t at = 0;  // timer-clock seconds
};

std::mutex g_mutex;
Entry g_entries[SizeMemory::kMaxEntries];
int32_t g_count = 0;
// Where the next new URL goes once the table is full (the oldest entry).
int32_t g_next = 0;

Entry* FindLocked(const char* url) {
    for (int32_t i = 0; i < g_count; ++i) {
        if (g_entries[i].url.Equals(url))
            return &g_entries[i];
    }
    return nullptr;
}

}  // namespace

void SizeMemory::Remember(const char* url, int64_t size) {
    if (!url || !url[0] || size < 0)
        return;
    const int64_t now = TimerClockNow().seconds;
    std::lock_guard<std::mutex> hold(g_mutex);
    Entry* entry = FindLocked(url);
    if (!entry) {
        if (g_count < kMaxEntries) {
            entry = &g_entries[g_count++];
        } else {
            entry = &g_entries[g_next];
            g_next = (g_next + 1) % kMaxEntries;
        }
        if (!entry->url.Assign(url)) {
            entry->size = -1;
            return;
        }
    }
    entry->size = size;
    entry->at = now;
}

int64_t SizeMemory::Recall(const char* url) {
    if (!url || !url[0])
        return -1;
    const int64_t now = TimerClockNow().seconds;
    std::lock_guard<std::mutex> hold(g_mutex);
    const Entry* entry = FindLocked(url);
    if (!entry || entry->size < 0 || now < entry->at || now - entry->at >= kFreshSeconds)
        return -1;
    return entry->size;
}

void SizeMemory::Clear() {
    std::lock_guard<std::mutex> hold(g_mutex);
    for (int32_t i = 0; i < g_count; ++i) {
        g_entries[i].url.Clear();
        g_entries[i].size = -1;
    }
    g_count = 0;
    g_next = 0;
}

int32_t SizeMemory::Count() {
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_count;
}
