// One record of the statistics report that the plain downloader sends when
// a job ends: how many bytes one file of the job received. 298 bytes, packed,
// little-endian; the agent reads the bytes as they are.
//
// Threads: a plain record, built by the plain downloader under the library
// lock.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#pragma pack(push, 1)
struct FileReportEntry {
    char tag[33];         // the job's name, NUL-terminated
    char urlList[256];    // the entry's URL list, cut to 255 characters, NUL-terminated
    uint8_t received[8];  // bytes received for the entry, little-endian
    uint8_t flag;         // always 1

    void SetReceived(int64_t value) {
        const uint64_t v = (uint64_t)value;
        for (int i = 0; i < 8; ++i)
            received[i] = (uint8_t)(v >> (8 * i));
    }
    // The whole record: `tag` (at most 32 characters used), the first
    // `urlLength` characters of `url` (a longer list is cut: the agent only
    // keeps it for reading), `value` received, flag 1.
    void Fill(const char* jobTag, const char* url, size_t urlLength, int64_t value) {
        memset(this, 0, sizeof *this);
        memcpy(tag, jobTag, sizeof tag - 1);
        const size_t n = urlLength < sizeof urlList - 1 ? urlLength : sizeof urlList - 1;
        memcpy(urlList, url, n);
        SetReceived(value);
        flag = 1;
    }
    int64_t Received() const {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= (uint64_t)received[i] << (8 * i);
        return (int64_t)v;
    }
};
#pragma pack(pop)

static_assert(sizeof(FileReportEntry) == 298, "a report record is 298 bytes");
static_assert(offsetof(FileReportEntry, tag) == 0, "tag at 0");
static_assert(offsetof(FileReportEntry, urlList) == 33, "URL list at 33");
static_assert(offsetof(FileReportEntry, received) == 289, "received at 289");
static_assert(offsetof(FileReportEntry, flag) == 297, "flag at 297");
