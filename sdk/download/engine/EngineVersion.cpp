#include "sdk/download/engine/EngineVersion.h"

#include "opn/platform/pfFileSystem.h"
#include "opn/platform/pfFileVersion.h"
#include "sdk/support/EnginePath.h"
#include "sdk/support/CXMLParserOrvane.h"
#include "sdk/support/ServiceLog.h"

const char kEngineExecutableName[] = "ldDownload.exe";

namespace {

const int kMaxPartDigits = 9;

void SkipSpaces(const char*& p) {
    while (*p == ' ')
        ++p;
}

// The numbers of `text` into `parts` (the rest 0); false when it is no
// version.
bool ParseVersion(const char* text, uint32_t parts[kMaxVersionParts]) {
    for (int i = 0; i < kMaxVersionParts; ++i)
        parts[i] = 0;
    if (!text)
        return false;
    const char* p = text;
    SkipSpaces(p);
    for (int count = 0;; ++count) {
        if (count == kMaxVersionParts || *p < '0' || *p > '9')
            return false;
        int digits = 0;
        for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
            if (digits == kMaxPartDigits)
                return false;
            parts[count] = parts[count] * 10 + (uint32_t)(*p - '0');
        }
        SkipSpaces(p);
        if (*p == '\0')
            return true;
        if (*p != '.' && *p != ',')
            return false;
        ++p;
        SkipSpaces(p);
    }
}

}  // namespace

bool CompareVersions(const char* a, const char* b, int* order) {
    uint32_t left[kMaxVersionParts];
    uint32_t right[kMaxVersionParts];
    if (!ParseVersion(a, left) || !ParseVersion(b, right))
        return false;
    int result = 0;
    for (int i = 0; i < kMaxVersionParts && result == 0; ++i)
        result = left[i] < right[i] ? -1 : left[i] > right[i] ? 1 : 0;
    if (order)
        *order = result;
    return true;
}

int32_t ReadFileVersion(const char* path, ovCString& out) {
    return PfReadFileVersion(path, out) ? 1 : 0;
}

const XmlElement* EngineElement(const CXMLParserOrvane& xml) {
    return CXMLParserOrvane::FindChild(CXMLParserOrvane::FindChild(xml.Root(), "file"),
                                       kEngineExecutableName);
}

ovCString ReadNewVersion(const CXMLParserOrvane& xml) {
    char value[kXmlValueBuffer];
    CXMLParserOrvane::GetAttribute(EngineElement(xml), "ver", value);
    return ovCString(value);
}

bool CheckEngineVersion(const CXMLParserOrvane& xml, EngineVersionCheck* check) {
    check->newVersion = ReadNewVersion(xml);
    if (check->newVersion.IsEmpty())
        return false;
    ovCString path;
    GetEnginePath(path);
    ReadFileVersion(path.CStr(), check->currentVersion);
    LogPrintf("[SwarmFetchLib] Current Version: %s / New Version: %s", check->currentVersion.CStr(),
              check->newVersion.CStr());
    if (!check->currentVersion.Equals(check->newVersion)) {
        check->executableNeedsUpdate = true;
        check->updateCount = 2;
    } else {
        check->executableNeedsUpdate = !FsExists(path.CStr());
        check->updateCount = check->executableNeedsUpdate ? 1 : 0;
    }
    LogPrintf("[SwarmFetchLib] Update File (Count: %d)", (int)check->updateCount);
    uint32_t installed[kMaxVersionParts];
    int order = 0;
    if (ParseVersion(check->currentVersion.CStr(), installed))
        check->olderThanInstalled =
            !CompareVersions(check->newVersion.CStr(), check->currentVersion.CStr(), &order) ||
            order < 0;
    return true;
}
