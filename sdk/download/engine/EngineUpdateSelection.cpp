#include "sdk/download/engine/EngineUpdateSelection.h"

#include "sdk/support/EnginePath.h"
#include "sdk/download/engine/EngineVersion.h"
#include "sdk/support/CXMLParserOrvane.h"
#include "sdk/support/HexBytes.h"
#include "sdk/support/Sha256Stream.h"

namespace {

// `url` and `hash` of `element` into the item; false without a URL.
bool TakeUrls(const XmlElement* element, EngineUpdateItem* item) {
    char value[kXmlValueBuffer];
    CXMLParserOrvane::GetAttribute(element, "url", value);
    item->url = value;
    CXMLParserOrvane::GetAttribute(element, "hash", value);
    item->hashUrl = value;
    CXMLParserOrvane::GetAttribute(element, "sha256", value);
    item->sha256 = value;
    return !item->url.IsEmpty();
}

// The engine executable's path cut at its last '\' into folder and name.
void SplitEnginePath(EngineUpdateItem* item) {
    ovCString path;
    GetEnginePath(path);
    int32_t last = -1;
    for (uint32_t i = 0; i < path.Length(); ++i)
        if (path.CStr()[i] == '\\')
            last = (int32_t)i;
    item->folder.Assign(path.CStr(), (uint32_t)(last + 1));
    item->name.Assign(path.CStr() + last + 1);
}

bool HasSha256(const XmlElement* element) {
    ovCString hex;
    uint8_t digest[kSha256Size];
    return element && CXMLParserOrvane::GetAttribute(element, "sha256", hex) &&
           HexToBytes(hex.CStr(), hex.Length(), digest, sizeof digest);
}

}  // namespace

bool SelectUpdates(const CXMLParserOrvane& xml, const EngineVersionCheck& check,
                   EngineUpdateItem* item, bool* selected) {
    *selected = false;
    const XmlElement* root = xml.Root();
    const int32_t files =
        (int32_t)CXMLParserOrvane::ChildCount(CXMLParserOrvane::FindChild(root, "file"));
    SplitEnginePath(item);
    if (check.updateCount == files) {
        const XmlElement* all =
            CXMLParserOrvane::FindChild(CXMLParserOrvane::FindChild(root, "all"), "all");
        if (!TakeUrls(all, item))
            return false;
        *selected = true;
        return true;
    }
    if (!check.executableNeedsUpdate)
        return true;
    if (!TakeUrls(CXMLParserOrvane::FindChild(CXMLParserOrvane::FindChild(root, "file"),
                                              item->name.CStr()),
                  item))
        return false;
    *selected = true;
    return true;
}

bool EveryArchiveHasSha256(const CXMLParserOrvane& xml) {
    const XmlElement* root = xml.Root();
    const XmlElement* all =
        CXMLParserOrvane::FindChild(CXMLParserOrvane::FindChild(root, "all"), "all");
    if (all && !HasSha256(all))
        return false;
    const XmlElement* files = CXMLParserOrvane::FindChild(root, "file");
    for (uint32_t i = 0; files && i < files->children.Count(); ++i)
        if (!HasSha256(files->children.At(i)))
            return false;
    return true;
}
