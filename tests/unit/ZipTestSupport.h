// Archives for the zip reader tests (made by tests/support/make-zip-archives.sh),
// byte patches that damage them on purpose, and what the tests read back from
// extracted files: bytes, attributes and times.
#pragma once

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "support/TestData.h"

namespace ziptest {

using Bytes = std::vector<unsigned char>;

inline Bytes LoadArchive(const std::string& name) {
    bool ok = false;
    Bytes bytes = sftest::ReadFile(sftest::DataPath("zip/" + name), &ok);
    EXPECT_TRUE(ok) << "missing test archive " << name;
    return bytes;
}

// A source file the archives were made from.
inline Bytes SourceFile(const std::string& relative) {
    return sftest::ReadFile(sftest::DataPath("zip/src/" + relative));
}

// The archives and source tree that make-extract-archives.sh lays out for
// the extraction tests.
inline Bytes ExtractTestArchive(const std::string& name) {
    bool ok = false;
    Bytes bytes = sftest::ReadFile(sftest::DataPath("extract/" + name), &ok);
    EXPECT_TRUE(ok) << "missing test archive " << name;
    return bytes;
}

inline std::string ExtractTestSource(const std::string& relative) {
    Bytes bytes = sftest::ReadFile(sftest::DataPath("extract/src/" + relative));
    return std::string(bytes.begin(), bytes.end());
}

inline uint32_t Get32(const Bytes& b, size_t at) {
    return (uint32_t)b[at] | ((uint32_t)b[at + 1] << 8) | ((uint32_t)b[at + 2] << 16) |
           ((uint32_t)b[at + 3] << 24);
}
inline uint16_t Get16(const Bytes& b, size_t at) {
    return (uint16_t)(b[at] | (b[at + 1] << 8));
}
inline void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = (unsigned char)(v >> (8 * i));
}
inline void Put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = (unsigned char)v;
    b[at + 1] = (unsigned char)(v >> 8);
}

// Where the structures of an archive without prefix lie.
struct Layout {
    size_t end = 0;               // end-of-central-directory record
    std::vector<size_t> central;  // central headers in order
    std::vector<size_t> local;    // their local headers
    std::vector<std::string> names;
};

inline Layout Locate(const Bytes& b) {
    Layout l;
    for (size_t p = b.size() - 22;; --p) {
        if (Get32(b, p) == 0x06054b50) {
            l.end = p;
            break;
        }
        if (p == 0)
            return l;
    }
    size_t at = Get32(b, l.end + 16);
    for (uint16_t i = 0; i < Get16(b, l.end + 10); ++i) {
        l.central.push_back(at);
        l.local.push_back(Get32(b, at + 42));
        const uint16_t n = Get16(b, at + 28);
        l.names.emplace_back(reinterpret_cast<const char*>(&b[at + 46]), n);
        at += 46 + n + Get16(b, at + 30) + Get16(b, at + 32);
    }
    return l;
}

inline int IndexOf(const Layout& l, const std::string& name) {
    for (size_t i = 0; i < l.names.size(); ++i)
        if (l.names[i] == name)
            return (int)i;
    ADD_FAILURE() << "no entry " << name;
    return 0;
}

// Header fields that exist in both headers: offset in the central header and
// in the local header.
struct Field {
    size_t central;
    size_t local;
};
const Field kCrcField = {16, 14};
const Field kCompressedField = {20, 18};
const Field kUncompressedField = {24, 22};

// Sets a 32-bit field of entry `index` in both headers, so that the local
// header check still agrees.
inline void Patch32(Bytes& b, const Layout& l, int index, Field f, uint32_t v) {
    Put32(b, l.central[index] + f.central, v);
    Put32(b, l.local[index] + f.local, v);
}

#ifdef _WIN32
inline uint32_t NativeAttributes(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a == INVALID_FILE_ATTRIBUTES ? 0xFFFFFFFFu : (uint32_t)a;
}
#endif

// Read-only as the platform shows it: the attribute on Windows, no write bit
// on POSIX.
inline bool IsReadOnly(const std::string& path) {
#ifdef _WIN32
    return (NativeAttributes(path) & FILE_ATTRIBUTE_READONLY) != 0;
#else
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
#endif
}

// Makes a file writable again so the temporary folder can be removed.
inline void MakeWritable(const std::string& path) {
#ifdef _WIN32
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
#else
    chmod(path.c_str(), 0644);
#endif
}

inline void MakeReadOnly(const std::string& path) {
#ifdef _WIN32
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
#else
    chmod(path.c_str(), 0444);
#endif
}

// Last-write and last-access times of a file, as FILETIME values.
struct FileTimes {
    uint64_t write = 0;
    uint64_t access = 0;
};

inline FileTimes TimesOf(const std::string& path) {
    FileTimes t;
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        t.write = ((uint64_t)data.ftLastWriteTime.dwHighDateTime << 32) |
                  data.ftLastWriteTime.dwLowDateTime;
        t.access = ((uint64_t)data.ftLastAccessTime.dwHighDateTime << 32) |
                   data.ftLastAccessTime.dwLowDateTime;
    }
#else
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        t.write = (uint64_t)st.st_mtim.tv_sec * 10000000ull + 116444736000000000ull +
                  (uint64_t)st.st_mtim.tv_nsec / 100;
        t.access = (uint64_t)st.st_atim.tv_sec * 10000000ull + 116444736000000000ull +
                   (uint64_t)st.st_atim.tv_nsec / 100;
    }
#endif
    return t;
}

// FILETIME of a UTC date, the civil-from-days way.
inline uint64_t UtcFileTime(int y, int m, int d, int hh, int mm, int ss) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned)(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = (int64_t)era * 146097 + (int64_t)doe - 719468;
    const int64_t seconds = days * 86400 + hh * 3600 + mm * 60 + ss;
    return (uint64_t)(seconds * 10000000ll + 116444736000000000ll);
}

}  // namespace ziptest
