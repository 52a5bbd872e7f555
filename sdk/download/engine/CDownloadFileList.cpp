#include "sdk/download/engine/CDownloadFileList.h"

#include <stdlib.h>

#include <new>

#include "opn/core/ctCMD4.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/download/extract/ArchiveKind.h"
#include "sdk/download/engine/EngineUnpack.h"
#include "sdk/download/engine/EngineUpdateSelection.h"
#include "sdk/download/engine/EngineVersion.h"
#include "sdk/download/engine/SeenSerial.h"
#include "sdk/support/CXMLParserOrvane.h"
#include "sdk/support/EnginePath.h"
#include "sdk/support/HexBytes.h"
#include "sdk/support/PublisherSignature.h"
#include "sdk/support/ServiceLog.h"

#ifndef SF_ENGINE_PRODUCT
#error "SF_ENGINE_PRODUCT names the product engine manifests are signed for; the build defines it"
#endif

const char* EngineUpdateProduct() {
    return SF_ENGINE_PRODUCT;
}

CDownloadFileList::~CDownloadFileList() {
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next)
        delete static_cast<CDownloadFile*>(node->element);
    m_records.RemoveAll();
}

CDownloadFile* CDownloadFileList::At(int32_t index) const {
    ovCPtrList::Node* node = m_records.HeadNode();
    for (int32_t i = 0; node && i < index; ++i)
        node = node->next;
    return index >= 0 && node ? static_cast<CDownloadFile*>(node->element) : nullptr;
}

CDownloadFile* CDownloadFileList::FindByKey(const char* url) const {
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next) {
        CDownloadFile* record = static_cast<CDownloadFile*>(node->element);
        if (record->MatchesKey(url))
            return record;
    }
    return nullptr;
}

bool CDownloadFileList::AddFile(const char* url, const char* hashUrl, const char* name,
                                const char* folder, const uint8_t* sha256) {
    // A record without a URL could never be handed out and would keep the
    // list from ever running empty.
    if (!url || !url[0] || FindByKey(url))
        return false;
    CDownloadFile* record = new (std::nothrow) CDownloadFile(this, url, hashUrl, name, folder);
    if (!record)
        return false;
    record->SetExpectedSha256(sha256);
    // No tries: out of memory for its hash list holder.
    if (record->TriesLeft() == 0 || !m_records.AddTail(record)) {
        delete record;
        return false;
    }
    return true;
}

bool CDownloadFileList::AddManifest(const char* url) {
    if (!AddFile(url, nullptr, nullptr, nullptr))
        return false;
    if (PublisherKeyPresent())
        At(Count() - 1)->RequireSignature();
    return true;
}

CDownloadFile* CDownloadFileList::NextPending() {
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next) {
        CDownloadFile* record = static_cast<CDownloadFile*>(node->element);
        if (record->TakeForDownload())
            return record;
    }
    return nullptr;
}

void CDownloadFileList::SetUnlimited(bool unlimited) {
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next)
        static_cast<CDownloadFile*>(node->element)->SetUnlimited(unlimited);
}

CDownloadFileList::EndResult CDownloadFileList::Ended(const char* url, bool success,
                                                      bool unreachable) {
    CDownloadFile* record = FindByKey(url);
    if (!record)
        return kEndNoRecord;
    if (!record->Finish(success, unreachable))
        return kEndKept;
    m_records.Remove(record);
    delete record;
    return success ? kEndDone : kEndGivenUp;
}

int32_t CDownloadFileList::OnManifest(CDownloadFile* record, const uint8_t* data, int64_t size) {
    if (!data || size <= 0 || size > kMaxManifestSize)
        return kDownloadNoData;
    const bool signedOnly = PublisherKeyPresent();
    int64_t serial = 0;
    if (signedOnly) {
        int64_t sigLength = 0;
        const uint8_t* sig = record ? record->Signature(&sigLength) : nullptr;
        if (VerifyPublisherFile(data, size, sig, sigLength, EngineUpdateProduct(), &serial) !=
            PublisherCheck::kValid) {
            LogPrintf("[SwarmFetchLib] Manifest Signature Refused : %s",
                      record ? record->Url().CStr() : "");
            return kDownloadBadManifest;
        }
    }
    CXMLParserOrvane xml;
    if (!xml.Parse(reinterpret_cast<const char*>(data), (uint32_t)size))
        return kDownloadBadManifest;
    ovCString folder;
    GetEngineFolder(folder);
    if (folder.IsEmpty() || !FsCreateFolders(folder.CStr()))
        return kDownloadNoEngineFolder;
    const int64_t seen = signedOnly ? ReadSeenSerial(folder.CStr(), EngineUpdateProduct()) : 0;
    if (signedOnly && serial < seen) {
        LogPrintf("[SwarmFetchLib] Manifest Replay Refused (Serial: %lld / Seen: %lld)",
                  (long long)serial, (long long)seen);
        return kDownloadDowngradeRefused;
    }
    EngineVersionCheck check;
    if (!CheckEngineVersion(xml, &check))
        return kDownloadBadManifest;
    m_newVersion = check.newVersion;
    if (signedOnly && check.olderThanInstalled) {
        LogPrintf("[SwarmFetchLib] Downgrade Refused (Current Version: %s / New Version: %s)",
                  check.currentVersion.CStr(), check.newVersion.CStr());
        return kDownloadDowngradeRefused;
    }
    // A manifest taken keeps its serial as the newest seen.
    const auto taken = [&]() {
        if (signedOnly && serial > seen &&
            !StoreSeenSerial(folder.CStr(), EngineUpdateProduct(), serial))
            LogPrintf("[SwarmFetchLib] Manifest Serial Not Kept (Serial: %lld)", (long long)serial);
        return kDownloadOk;
    };
    EngineUpdateItem item;
    bool selected = false;
    if (!SelectUpdates(xml, check, &item, &selected))
        return kDownloadBadManifest;
    if (!selected)
        return taken();
    // Signed: every archive must name its digest. Unsigned: a digest that is
    // given is still checked, and one that cannot be read refuses the manifest.
    uint8_t sha256[kSha256Size];
    const bool hasSha256 = !item.sha256.IsEmpty() || signedOnly;
    if ((signedOnly && !EveryArchiveHasSha256(xml)) ||
        (hasSha256 &&
         !HexToBytes(item.sha256.CStr(), item.sha256.Length(), sha256, sizeof sha256))) {
        LogPrintf("[SwarmFetchLib] Manifest Refused (no sha256) : %s", item.url.CStr());
        return kDownloadBadManifest;
    }
    if (!AddFile(item.url.CStr(), item.hashUrl.CStr(), item.name.CStr(), item.folder.CStr(),
                 hasSha256 ? sha256 : nullptr))
        return kDownloadNoData;
    return taken();
}

int32_t CDownloadFileList::OnArchive(CDownloadFile* record, const HashListHolder* holder,
                                     uint8_t* data, int64_t size) {
    if (!data || size <= 0 || !record) {
        free(data);
        return kDownloadNoData;
    }
    // A named hash list must have arrived and must cover the whole archive:
    // one digest per started MiB and the digest of those, no more, no less.
    if (holder && (!holder->data || holder->length != ChunkedMd4ListSize(size))) {
        free(data);
        return kDownloadHashMismatch;
    }
    const int32_t kind = ArchiveKind(record->Url().CStr());
    if (kind == kArchiveNone) {
        free(data);
        return kDownloadUnpackFailed;
    }
    EngineUnpack* unpack = EngineUnpack::Start(
        kind, data, size, holder ? holder->data : nullptr, holder ? holder->length : 0,
        record->ExpectedSha256(), record->Folder().CStr(), record->Name().CStr());
    if (!unpack)
        return kDownloadUnpackFailed;
    record->SetUnpack(unpack);
    return kDownloadUnpacking;
}

bool CDownloadFileList::TakeUnpacked(ovCString& url, int32_t* result) {
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next) {
        CDownloadFile* record = static_cast<CDownloadFile*>(node->element);
        if (record->TakeUnpackResult(result)) {
            url = record->Url();
            return true;
        }
    }
    return false;
}

bool CDownloadFileList::Unpacking() const {
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next)
        if (static_cast<CDownloadFile*>(node->element)->Unpacking())
            return true;
    return false;
}
