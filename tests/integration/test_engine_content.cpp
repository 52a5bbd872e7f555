// The engine-update content that the test servers publish (made by
// tools/engine/make-engine-content.sh): the manifest reads with the
// library's XML reader, every hash list passes the library's check for its
// archive and fails for a changed one, every archive unpacks with the
// library's extraction, and the engine inside carries the build's version.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "opn/core/ctCMD4.h"
#include "sdk/download/extract/ArchiveKind.h"
#include "sdk/download/extract/ExtractArchive.h"
#include "sdk/support/CXMLParserOrvane.h"
#include "support/EngineProcess.h"
#include "support/TestServers.h"
#include "unit/SupportTestEnv.h"

namespace {

std::string Utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

std::string EnginePath() {
    return engineprocess::ProgramPath(SF_STANDIN_ENGINE);
}

struct Published {
    std::string url;   // from the manifest
    std::string hash;  // its hash-list URL
};

}  // namespace

TEST(EngineContent, ManifestHashListsAndArchivesFitTogether) {
    sftest::TestServers servers;
    servers.Load();
    ASSERT_TRUE(servers.Ok()) << servers.Error();
    ASSERT_EQ(SF_ENGINE_VERSION, servers.EngineVersion());
    bool ok = false;
    const std::vector<unsigned char> xml =
        servers.DocRootFile("ActiveX/update/KVX_updater.xml", &ok);
    ASSERT_TRUE(ok);

    CXMLParserOrvane parser;
    ASSERT_NE(nullptr,
              parser.Parse(reinterpret_cast<const char*>(xml.data()), (uint32_t)xml.size()));
    const XmlElement* root = parser.Root();
    ASSERT_NE(nullptr, root);
    const XmlElement* all =
        CXMLParserOrvane::FindChild(CXMLParserOrvane::FindChild(root, "all"), "all");
    const XmlElement* files = CXMLParserOrvane::FindChild(root, "file");
    ASSERT_NE(nullptr, all);
    ASSERT_NE(nullptr, files);
    EXPECT_EQ(2u, CXMLParserOrvane::ChildCount(files));
    const XmlElement* exe = CXMLParserOrvane::FindChild(files, "ldDownload.exe");
    const XmlElement* readme = CXMLParserOrvane::FindChild(files, "readme.txt");
    ASSERT_NE(nullptr, exe);
    ASSERT_NE(nullptr, readme);
    char value[kXmlValueBuffer];
    CXMLParserOrvane::GetAttribute(exe, "ver", value);
    EXPECT_STREQ(SF_ENGINE_VERSION, value);

    std::vector<Published> published;
    for (const XmlElement* element : {all, exe, readme}) {
        Published p;
        char url[kXmlValueBuffer], hash[kXmlValueBuffer];
        ASSERT_GT(CXMLParserOrvane::GetAttribute(element, "url", url), 0u);
        ASSERT_GT(CXMLParserOrvane::GetAttribute(element, "hash", hash), 0u);
        p.url = url;
        p.hash = hash;
        published.push_back(p);
    }
    const std::string prefix = servers.HttpUrl("/");
    const std::string engine = supporttest::ReadWholeFile(EnginePath());
    ASSERT_FALSE(engine.empty());
    const std::string readmeText =
        std::string("SwarmFetch stand-in download engine ") + SF_ENGINE_VERSION + "\r\n";
    supporttest::TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    int index = 0;
    for (const Published& p : published) {
        SCOPED_TRACE(p.url);
        // Absolute URLs of this server; the files are in its document root.
        ASSERT_EQ(0u, p.url.find(prefix));
        ASSERT_EQ(p.url + ".hash", p.hash);
        const std::vector<unsigned char> archive =
            servers.DocRootFile(p.url.substr(prefix.size()), &ok);
        ASSERT_TRUE(ok);
        const std::vector<unsigned char> list =
            servers.DocRootFile(p.hash.substr(prefix.size()), &ok);
        ASSERT_TRUE(ok);
        const size_t pieces = (archive.size() + kMd4PieceSize - 1) / kMd4PieceSize;
        EXPECT_EQ((pieces + 1) * kMd4DigestSize, list.size());
        EXPECT_TRUE(
            VerifyChunkedMd4(list.data(), list.size(), archive.data(), (int64_t)archive.size()));
        std::vector<unsigned char> changed(archive);
        changed[changed.size() / 2] ^= 0x01;
        EXPECT_FALSE(
            VerifyChunkedMd4(list.data(), list.size(), changed.data(), (int64_t)changed.size()));

        const std::string folder = "out" + std::to_string(index++);
        ASSERT_EQ((int32_t)kExtractArchiveOk,
                  ExtractArchive(ArchiveKind(p.url.c_str()), archive.data(),
                                 (int64_t)archive.size(), (tmp.Win(folder) + "\\").c_str()));
        const bool hasEngine = p.url.find("ldDownload") != std::string::npos;
        const bool hasReadme = p.url.find("readme") != std::string::npos ||
                               p.url.find("ldDownloader") != std::string::npos;
        if (hasEngine) {
            EXPECT_TRUE(engine ==
                        supporttest::ReadWholeFile(tmp.Native(folder + "\\ldDownload.exe")));
        }
        if (hasReadme) {
            EXPECT_EQ(readmeText, supporttest::ReadWholeFile(tmp.Native(folder + "\\readme.txt")));
        }
    }
    // The executable and the package are of the two kinds.
    EXPECT_EQ(kArchiveZip, ArchiveKind(published[0].url.c_str()));
    EXPECT_EQ(kArchive7z, ArchiveKind(published[1].url.c_str()));

    // The engine's version block holds the build's FileVersion.
    EXPECT_NE(std::string::npos, engine.find(Utf16("VS_VERSION_INFO")));
    // Its value follows the key after the terminator and the padding.
    const std::string key = Utf16("FileVersion");
    const size_t keyAt = engine.find(key);
    ASSERT_NE(std::string::npos, keyAt);
    size_t at = keyAt + key.size();
    while (at < engine.size() && at < keyAt + key.size() + 8 && engine[at] == '\0')
        ++at;
    EXPECT_EQ(Utf16(SF_ENGINE_VERSION) + std::string(2, '\0'),
              engine.substr(at, Utf16(SF_ENGINE_VERSION).size() + 2));
#ifdef _WIN32
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(EnginePath().c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(EnginePath().c_str(), 0, size, info.data()));
    char* text = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\041204B0\\FileVersion",
                               (void**)&text, &length));
    EXPECT_STREQ(SF_ENGINE_VERSION, text);
#endif
}
