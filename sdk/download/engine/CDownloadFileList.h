// The things the engine update still has to fetch: the manifest first, then
// the archives it selects. The list hands out the next record, decides
// after each attempt whether a record is finished or tried again, reads the
// manifest (EngineVersion.h, EngineUpdateSelection.h) and checks and unpacks
// every archive (ctCMD4.h, ExtractArchive.h).
//
// An archive whose record names a hash list is unpacked only when that list
// arrived, has exactly the length of the list computed for the archive (one
// digest per started MiB and the digest of those) and matches; otherwise the
// attempt fails with kDownloadHashMismatch and the record is tried again
// while tries are left.
//
// An archive is checked and installed in the background (EngineUnpack.h):
// OnArchive answers kDownloadUnpacking at once for an archive of a known
// kind, and the record's result is taken later with TakeUnpacked (the record
// stays busy meanwhile). After a successful install the engine executable
// has been made startable (pfProgramFile.h).
//
// With a publisher key in force (PublisherSignature.h) the update trusts
// only what the publisher signed:
// - the manifest is read only when its signature file (fetched first, see
//   CDownloadFile.h) is valid and signed for EngineUpdateProduct();
//   otherwise the attempt ends with kDownloadBadManifest, as for a manifest
//   without a version;
// - a manifest whose serial is below the highest this machine took
//   (SeenSerial.h) is an older publication: kDownloadDowngradeRefused, and
//   the installed engine stays; a higher one is kept once the manifest was
//   taken;
// - the archive the manifest selects must carry `sha256="<64 hex digits>"`
//   (EngineUpdateSelection.h), or the manifest is bad; the archive is
//   unpacked only when it has that SHA-256 (and matches its hash list, when
//   it names one), else kDownloadHashMismatch;
// - a manifest announcing an engine older than the installed one
//   (EngineVersion.h) selects nothing: kDownloadDowngradeRefused, and the
//   installed engine stays.
// Without a key none of this applies; `sha256` attributes are not read.
//
// Threads: the update's (CDownloader.h): everything on the library thread.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovCString.h"
#include "sdk/download/engine/CDownloadFile.h"
#include "sdk/download/engine/IDownloadFileEventListener.h"

// The product engine manifests are signed for (the build's
// SF_ENGINE_PRODUCT).
const char* EngineUpdateProduct();

class CDownloadFileList : public IDownloadFileEventListener {
  public:
    // How an attempt ended for the list.
    enum EndResult : int32_t {
        kEndNoRecord = 0,  // no record has that key
        kEndKept = 1,      // tried again later
        kEndDone = 2,      // succeeded and removed
        kEndGivenUp = 3,   // failed with no try left, removed
    };

    CDownloadFileList() = default;
    virtual ~CDownloadFileList();
    CDownloadFileList(const CDownloadFileList&) = delete;
    CDownloadFileList& operator=(const CDownloadFileList&) = delete;

    // Adds a record unless `url` is null or empty or a record's current key
    // equals it. True when added; false also when memory ran out. `sha256`
    // (null: none) is the SHA-256 the archive must have.
    bool AddFile(const char* url, const char* hashUrl, const char* name, const char* folder,
                 const uint8_t* sha256 = nullptr);
    // The update manifest's record; it comes with a signature when a
    // publisher key is in force.
    bool AddManifest(const char* url);
    // The first record that can be handed out (not busy, a try left or
    // unlimited tries), now busy; null when none.
    CDownloadFile* NextPending();
    void SetUnlimited(bool unlimited);
    // The attempt of the record whose current key is `url` ended;
    // `unreachable` (the host could not be reached) does not use up a try.
    EndResult Ended(const char* url, bool success, bool unreachable);

    int32_t Count() const { return m_records.Count(); }
    bool IsEmpty() const { return m_records.Count() == 0; }
    const ovCString& NewVersion() const { return m_newVersion; }
    // Record `index` in list order; null when out of range.
    CDownloadFile* At(int32_t index) const;

    int32_t OnManifest(CDownloadFile* record, const uint8_t* data, int64_t size) override;
    int32_t OnArchive(CDownloadFile* record, const HashListHolder* holder, uint8_t* data,
                      int64_t size) override;

    // The first record whose unpack has ended: its archive URL in `url`, the
    // result in `*result`, true. False when none has ended.
    bool TakeUnpacked(ovCString& url, int32_t* result);
    // Some record's unpack is still under way.
    bool Unpacking() const;

  private:
    CDownloadFile* FindByKey(const char* url) const;

    ovCPtrList m_records;  // CDownloadFile*, owned
    ovCString m_newVersion;
};
