// The validator an unhashed partial file is continued under: which answer
// headers give one, and the file that keeps it beside the partial file,
// which is hostile input like any file of the download folder.
#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/download/plain/ResumeValidator.h"
#include "unit/SupportTestEnv.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using supporttest::TempFolder;

const char kMagic[] = "SwarmFetch If-Range 1\n";

void Write(const std::string& native, const std::string& bytes) {
    FILE* f = fopen(native.c_str(), "wb");
    ASSERT_NE(nullptr, f) << native;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

std::string Read(const std::string& native, bool* exists) {
    bool ok = false;
    const std::string bytes = supporttest::ReadWholeFile(native, &ok);
    *exists = ok;
    return bytes;
}

TEST(ResumeValidator, AStrongETagOrElseALastModifiedDate) {
    struct Case {
        const char* what;
        const char* etag;  // null: absent
        const char* modified;
        const char* validator;  // null: none
    };
    const std::string longTag = "\"" + std::string(kMaxResumeValidator - 2, 'a') + "\"";
    const std::string tooLongTag = "\"" + std::string(kMaxResumeValidator - 1, 'a') + "\"";
    const std::string date = "Tue, 01 Dec 2026 10:00:00 GMT";
    const Case cases[] = {
        {"an entity tag", "\"5f3a-1000\"", date.c_str(), "\"5f3a-1000\""},
        {"the longest entity tag", longTag.c_str(), nullptr, longTag.c_str()},
        {"an entity tag too long", tooLongTag.c_str(), date.c_str(), nullptr},
        {"an empty entity tag", "\"\"", nullptr, "\"\""},
        {"a weak one: no date either", "W/\"5f3a\"", date.c_str(), nullptr},
        {"no quotes", "5f3a", date.c_str(), nullptr},
        {"a quote inside", "\"5f\"3a\"", nullptr, nullptr},
        {"a line end inside", "\"5f\r\nX-Evil: 1\"", nullptr, nullptr},
        {"a byte above ASCII", "\"5f\xc3\xa9\"", nullptr, nullptr},
        {"only a date", nullptr, date.c_str(), date.c_str()},
        {"a date with a line end", nullptr, "Tue\r\nX-Evil: 1", nullptr},
        {"a date that looks like a tag", nullptr, "\"x\"", nullptr},
        {"an empty date", nullptr, "", nullptr},
        {"nothing", nullptr, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ovCString etag;
        ovCString modified;
        if (c.etag)
            etag.Assign(c.etag);
        if (c.modified)
            modified.Assign(c.modified);
        ovCString out;
        out.Assign("stale");
        const bool found =
            ResumeValidatorOf(c.etag ? &etag : nullptr, c.modified ? &modified : nullptr, out);
        EXPECT_EQ(c.validator != nullptr, found);
        EXPECT_STREQ(c.validator ? c.validator : "", out.CStr());
    }
    // A zero inside a header value is kept by the reader: never sent.
    ovCString zero;
    zero.Assign("\"ab\0cd\"", 7);
    ovCString out;
    EXPECT_FALSE(ResumeValidatorOf(&zero, nullptr, out));
}

TEST(ResumeValidator, IsKeptBesideThePartialFileAndReadBack) {
    TempFolder folder;
    const std::string part = folder.Win("file.bin.part");
    ovCString out;
    EXPECT_FALSE(LoadResumeValidator(part.c_str(), out));
    ASSERT_TRUE(SaveResumeValidator(part.c_str(), "\"5f3a-1000\""));
    bool exists = false;
    EXPECT_EQ(std::string(kMagic) + "\"5f3a-1000\"\n",
              Read(folder.Native("file.bin.part.part"), &exists));
    ASSERT_TRUE(LoadResumeValidator(part.c_str(), out));
    EXPECT_STREQ("\"5f3a-1000\"", out.CStr());
    // Replaced by the next one; a value that may not be sent keeps nothing.
    ASSERT_TRUE(SaveResumeValidator(part.c_str(), "Tue, 01 Dec 2026 10:00:00 GMT"));
    ASSERT_TRUE(LoadResumeValidator(part.c_str(), out));
    EXPECT_STREQ("Tue, 01 Dec 2026 10:00:00 GMT", out.CStr());
    EXPECT_FALSE(SaveResumeValidator(part.c_str(), "a\r\nb"));
    Read(folder.Native("file.bin.part.part"), &exists);
    EXPECT_FALSE(exists);
    ASSERT_TRUE(SaveResumeValidator(part.c_str(), "\"x\""));
    RemoveResumeValidator(part.c_str());
    Read(folder.Native("file.bin.part.part"), &exists);
    EXPECT_FALSE(exists);
}

TEST(ResumeValidator, WhatIsAtItsNameIsReadOnlyWhenSaneAndRemovedOtherwise) {
    const std::string tag = "\"5f3a-1000\"";
    struct Case {
        const char* what;
        std::string bytes;
        bool usable;
    };
    const Case cases[] = {
        {"sane", kMagic + tag + "\n", true},
        {"empty", "", false},
        {"the magic alone", kMagic, false},
        {"another magic", "SwarmFetch If-Range 2\n" + tag + "\n", false},
        {"no line end", kMagic + tag, false},
        {"two lines", kMagic + tag + "\n" + tag + "\n", false},
        {"a carriage return", kMagic + tag + "\r\n", false},
        {"a header smuggled", kMagic + std::string("\"a\"\r\nX-Evil: 1\n"), false},
        {"a zero inside", kMagic + std::string("\"a\0b\"\n", 6), false},
        {"a value too long", kMagic + std::string(kMaxResumeValidator + 1, 'a') + "\n", false},
        {"far too large", kMagic + std::string(1 << 20, 'a') + "\n", false},
        {"the longest value", kMagic + std::string(kMaxResumeValidator, 'a') + "\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder folder;
        const std::string part = folder.Win("f.part");
        Write(folder.Native("f.part.part"), c.bytes);
        ovCString out;
        EXPECT_EQ(c.usable, LoadResumeValidator(part.c_str(), out));
        bool exists = false;
        Read(folder.Native("f.part.part"), &exists);
        EXPECT_EQ(c.usable, exists) << "an unusable one is removed";
        if (!c.usable) {
            EXPECT_TRUE(out.IsEmpty());
        }
    }
}

#ifndef _WIN32
TEST(ResumeValidator, ALinkAtItsNameIsNeitherFollowedNorWrittenThrough) {
    TempFolder folder;
    const std::string outside = folder.Native("outside.txt");
    const std::string sane = std::string(kMagic) + "\"5f3a\"\n";
    Write(outside, sane);
    const std::string part = folder.Win("dl/f.part");
    ASSERT_TRUE(std::filesystem::create_directory(folder.Native("dl")));
    const std::string name = folder.Native("dl/f.part.part");
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind);
        if (kind == 0)
            ASSERT_EQ(0, symlink(outside.c_str(), name.c_str()));
        else if (kind == 1)
            ASSERT_EQ(0, link(outside.c_str(), name.c_str()));
        else
            ASSERT_EQ(0, mkfifo(name.c_str(), 0600));
        ovCString out;
        EXPECT_FALSE(LoadResumeValidator(part.c_str(), out));
        struct stat st;
        EXPECT_NE(0, lstat(name.c_str(), &st)) << "removed";
        // Written new, never through what was there.
        if (kind == 0)
            ASSERT_EQ(0, symlink(outside.c_str(), name.c_str()));
        else if (kind == 1)
            ASSERT_EQ(0, link(outside.c_str(), name.c_str()));
        else
            ASSERT_EQ(0, mkfifo(name.c_str(), 0600));
        EXPECT_TRUE(SaveResumeValidator(part.c_str(), "\"other\""));
        bool exists = false;
        EXPECT_EQ(sane, Read(outside, &exists));
        ASSERT_EQ(0, lstat(name.c_str(), &st));
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(1u, (unsigned)st.st_nlink);
        RemoveResumeValidator(part.c_str());
    }
}
#endif

}  // namespace
