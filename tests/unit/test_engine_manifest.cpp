// The manifest's version check and the choice of archive, against real
// engine programs installed into a scratch application-data folder.
#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integration/ApiTestEnv.h"
#include "sdk/support/EnginePath.h"
#include "sdk/download/engine/EngineManifestUrl.h"
#include "sdk/download/engine/EngineUpdateSelection.h"
#include "sdk/download/engine/EngineVersion.h"
#include "sdk/support/CXMLParserOrvane.h"
#include "support/EnginePrograms.h"

namespace {

void Install(const apitest::LogScope& scope, const char* program) {
    sftest::InstallEngineProgram(scope.Folder(), program);
}

// A manifest listing the engine executable (with `ver`, `url`, `hash`
// unless null) and, with `second`, one more file; `allUrl` for the package.
std::string Manifest(const char* ver, const char* url, const char* hash, bool second,
                     const char* allUrl = "http://h/all.7z") {
    std::string m = "<?xml version=\"1.0\"?>\r\n<KVX_updater>\r\n <all><all";
    if (allUrl)
        m += std::string(" url=\"") + allUrl + "\"";
    m += " hash=\"http://h/all.md4\"/></all>\r\n <file><ldDownload.exe";
    if (url)
        m += std::string(" url=\"") + url + "\"";
    if (hash)
        m += std::string(" hash=\"") + hash + "\"";
    if (ver)
        m += std::string(" ver=\"") + ver + "\"";
    m += "/>";
    if (second)
        m += "<ldHelper.dll url=\"http://h/helper.zip\"/>";
    m += "</file>\r\n</KVX_updater>\r\n";
    return m;
}

TEST(EngineVersionCheck, VersionsCountsAndTheArchiveChosen) {
    const char* kOld = SF_ENGINE_OLD;
    const char* kNew = SF_ENGINE_NEW;
    const char* kVer = SF_ENGINE_NEW_VERSION;
    struct Case {
        const char* name;
        const char* installed;
        std::string manifest;
        bool accepted;
        int32_t count;
        bool selects;  // SelectUpdates succeeds
        const char* url;
        const char* hash;
    };
    const Case cases[] = {
        {"same version", kNew, Manifest(kVer, "http://h/f.zip", "http://h/f.md4", false), true, 0,
         true, nullptr, nullptr},
        {"same version, two files", kNew, Manifest(kVer, "http://h/f.zip", "http://h/f.md4", true),
         true, 0, true, nullptr, nullptr},
        {"a leading zero differs", kNew,
         Manifest("1.0.0.02", "http://h/f.zip", "http://h/f.md4", false), true, 2, true,
         "http://h/f.zip", "http://h/f.md4"},
        {"change, one file: its own archive", kOld,
         Manifest(kVer, "http://h/f.zip", "http://h/f.md4", false), true, 2, true, "http://h/f.zip",
         "http://h/f.md4"},
        {"change, two files: the package", kOld,
         Manifest(kVer, "http://h/f.zip", "http://h/f.md4", true), true, 2, true, "http://h/all.7z",
         "http://h/all.md4"},
        {"missing executable, one file", nullptr,
         Manifest(kVer, "http://h/f.zip", "http://h/f.md4", false), true, 2, true, "http://h/f.zip",
         "http://h/f.md4"},
        {"missing executable, two files", nullptr, Manifest(kVer, "http://h/f.zip", nullptr, true),
         true, 2, true, "http://h/all.7z", "http://h/all.md4"},
        {"no hash list named", kOld, Manifest(kVer, "http://h/f.zip", nullptr, false), true, 2,
         true, "http://h/f.zip", ""},
        {"no version", kOld, Manifest(nullptr, "http://h/f.zip", nullptr, false), false, 0, false,
         nullptr, nullptr},
        {"executable without url", kOld, Manifest(kVer, nullptr, "http://h/f.md4", false), true, 2,
         false, nullptr, nullptr},
        {"package without url", kOld, Manifest(kVer, "http://h/f.zip", nullptr, true, nullptr),
         true, 2, false, nullptr, nullptr},
        {"element names in capitals", kOld,
         "<X><ALL><All url=\"http://h/a.zip\"/></ALL><FILE><LDDOWNLOAD.EXE ver=\"9\" "
         "url=\"http://h/e.zip\"/><B/></FILE></X>",
         true, 2, true, "http://h/a.zip", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        apitest::LogScope log;
        if (c.installed)
            Install(log, c.installed);
        CXMLParserOrvane xml;
        ASSERT_NE(nullptr, xml.Parse(c.manifest.c_str()));
        EngineVersionCheck check;
        ASSERT_EQ(c.accepted, CheckEngineVersion(xml, &check));
        if (!c.accepted) {
            EXPECT_TRUE(check.newVersion.IsEmpty());
            EXPECT_EQ(std::vector<std::string>{}, log.Lines());
            continue;
        }
        EXPECT_EQ(c.count, check.updateCount);
        const std::string current = c.installed == kOld ? SF_ENGINE_OLD_VERSION
                                    : c.installed       ? SF_ENGINE_NEW_VERSION
                                                        : "";
        EXPECT_EQ(current, check.currentVersion.CStr());
        const std::vector<std::string> lines = {
            "[SwarmFetchLib] Current Version: " + current +
                " / New Version: " + check.newVersion.CStr(),
            "[SwarmFetchLib] Update File (Count: " + std::to_string(c.count) + ")"};
        EXPECT_EQ(lines, log.Lines());

        EngineUpdateItem item;
        bool selected = true;
        EXPECT_EQ(c.selects, SelectUpdates(xml, check, &item, &selected));
        if (!c.selects)
            continue;
        EXPECT_EQ(c.url != nullptr, selected);
        if (!c.url)
            continue;
        EXPECT_STREQ(c.url, item.url.CStr());
        EXPECT_STREQ(c.hash, item.hashUrl.CStr());
        ovCString folder;
        GetEngineFolder(folder);
        EXPECT_STREQ(folder.CStr(), item.folder.CStr());
        EXPECT_STREQ("ldDownload.exe", item.name.CStr());
    }
}

TEST(EngineVersionCheck, VersionsAreOrderedByTheirNumbers) {
    struct Case {
        const char* a;
        const char* b;
        bool ordered;
        int order;
    };
    const Case cases[] = {
        {"1.0.0.1", "1.0.0.2", true, -1},
        {"1.0.0.10", "1.0.0.9", true, 1},
        {"1.0.0.02", "1.0.0.2", true, 0},
        {"1.2", "1.2.0.0", true, 0},
        {"2", "1.9.9.9", true, 1},
        {"1, 0, 0, 3", "1.0.0.2", true, 1},
        {" 7 ", "7", true, 0},
        {"999999999.0", "999999998.1", true, 1},
        {"1.2.3.4.5.6.7.8", "1.2.3.4.5.6.7.9", true, -1},
        {"1.2.3.4.5.6.7.8.9", "1", false, 0},
        {"1000000000", "1", false, 0},
        {"", "1", false, 0},
        {"1", "", false, 0},
        {"1..2", "1", false, 0},
        {"1.", "1", false, 0},
        {".1", "1", false, 0},
        {"1.0b", "1", false, 0},
        {"-1", "1", false, 0},
        {"v1.0", "1", false, 0},
        // Texts that differ but name the same version, and near misses.
        {"1.0", "1.0.0", true, 0},
        {"1,2,3,4", "1.2.3.4", true, 0},
        {"0001.000", "1", true, 0},
        {"000000001.0.0.9", "1.0.0.10", true, -1},
        {"999999999.999999999", "999999999.999999998", true, 1},
        {"0000000001", "1", false, 0},
        {"4294967296", "1", false, 0},
        {"1.0\t", "1", false, 0},
        {"1;2", "1", false, 0},
        {"1.,2", "1", false, 0},
        {"1 2", "1", false, 0},
        {"\xef\xbc\x91", "1", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        int order = 99;
        EXPECT_EQ(c.ordered, CompareVersions(c.a, c.b, &order));
        if (c.ordered) {
            EXPECT_EQ(c.order, order < 0 ? -1 : order > 0 ? 1 : 0);
        }
    }
    EXPECT_FALSE(CompareVersions(nullptr, "1", nullptr));
}

// Whether the manifest's version is older than the installed engine's: the
// update refuses such a manifest when it runs with a publisher key.
TEST(EngineVersionCheck, OlderThanTheInstalledEngine) {
    struct Case {
        const char* installed;
        const char* version;
        bool older;
    };
    const Case cases[] = {
        {SF_ENGINE_NEW, SF_ENGINE_OLD_VERSION, true},
        {SF_ENGINE_NEW, SF_ENGINE_NEW_VERSION, false},
        {SF_ENGINE_OLD, SF_ENGINE_NEW_VERSION, false},
        {SF_ENGINE_NEW, "1.0.0.10", false},
        // Not a version of numbers: it cannot be shown to be newer.
        {SF_ENGINE_NEW, "latest", true},
        // Nothing installed: nothing to go back from.
        {nullptr, "0.1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        apitest::LogScope log;
        if (c.installed)
            Install(log, c.installed);
        CXMLParserOrvane xml;
        const std::string manifest = Manifest(c.version, "http://h/f.zip", nullptr, false);
        ASSERT_NE(nullptr, xml.Parse(manifest.c_str()));
        EngineVersionCheck check;
        ASSERT_TRUE(CheckEngineVersion(xml, &check));
        EXPECT_EQ(c.older, check.olderThanInstalled);
    }
}

TEST(EngineVersionCheck, TheNewVersionIsReadThroughA256ByteBuffer) {
    CXMLParserOrvane xml;
    const std::string longVersion(300, '7');
    xml.Parse(("<x><file><ldDownload.exe ver=\"" + longVersion + "\"/></file></x>").c_str());
    EXPECT_EQ(longVersion.substr(0, 255), ReadNewVersion(xml).CStr());
    xml.Parse("<x><file><other ver=\"1\"/></file></x>");
    EXPECT_TRUE(ReadNewVersion(xml).IsEmpty());
}

TEST(EngineManifestUrl, CompiledInHostAndTheSeam) {
    const std::string url = EngineManifestUrl();
    EXPECT_EQ(0u, url.find("http://"));
    EXPECT_TRUE(supporttest::EndsWith(url, "/ActiveX/update/KVX_updater.xml")) << url;
    SetEngineManifestUrlForTesting("http://127.0.0.1:1/x.xml");
    EXPECT_STREQ("http://127.0.0.1:1/x.xml", EngineManifestUrl());
    SetEngineManifestUrlForTesting(nullptr);
    EXPECT_EQ(url, EngineManifestUrl());
}

}  // namespace
