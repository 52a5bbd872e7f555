#include "sdk/download/EngineVersion.h"

#include "opn/platform/pfFileSystem.h"
#include "opn/platform/pfFileVersion.h"
#include "sdk/support/EnginePath.h"
#include "sdk/support/CXMLParserOrvane.h"
#include "sdk/support/ServiceLog.h"

const char kEngineExecutableName[] = "ldDownload.exe";

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
    return true;
}
