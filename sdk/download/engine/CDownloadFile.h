// One record of the engine-update file list: the manifest, or an archive
// with its optional hash list. A record with a hash list goes through two
// phases: the hash list (kept in memory), then the archive, which is only
// unpacked when it matches that list.
//
// Tries: a record with a URL has kDownloadTries; each hand-out uses one
// (CDownloadFileList::NextPending) unless the list runs with unlimited tries,
// and a failure to reach the host gives the try back. A failed record is
// finished (given up) when no try is left. A hash list that cannot be
// fetched fails the record like any failed download: the archive is never
// fetched or unpacked without it.
//
// With a publisher key (PublisherSignature.h) the manifest record has a
// signature phase first: its URL with ".sig" appended (a signature file,
// SignatureFile.h), kept in memory and checked by the list before the
// manifest is read. A failed manifest attempt
// fetches both again, so a pair the host was replacing meanwhile is not
// held against the next try. An archive record may carry the SHA-256 the
// signed manifest names for it; the archive is unpacked only when it
// matches.
//
// Threads: the update's (CDownloader.h): everything on the library thread; the
// unpack a record owns works on its own thread (EngineUnpack.h).
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"
#include "sdk/download/engine/IProgressFile.h"
#include "sdk/support/PublisherSignature.h"
#include "sdk/support/SignatureFile.h"
#include "sdk/support/Sha256Stream.h"

class EngineUnpack;
class IDownloadFileEventListener;

// Download results (the engine-update downloader's outcomes).
enum DownloadResult : int32_t {
    kDownloadOk = 0,
    kDownloadUnknownUrl = 1,
    kDownloadNoData = 2,        // empty or missing data, or more than a hash list can hold
    kDownloadBadManifest = 3,   // no engine version, or a selected archive without URL
    kDownloadHashMismatch = 4,  // no usable hash list, or the archive does not match it
    kDownloadUnpackFailed = 5,  // unknown archive kind or unpacking failed
    kDownloadNoEngineFolder = 7,
    // The archive is being checked and unpacked in the background; the
    // record's real result follows (TakeUnpackResult).
    kDownloadUnpacking = 8,
    // The manifest announces an engine older than the installed one (with
    // a publisher key): nothing is fetched, the installed engine stays.
    kDownloadDowngradeRefused = 9,
};

const int32_t kDownloadTries = 3;

// Bounds on what a server sends: an archive, a manifest, and the hash list
// of the largest archive (one digest per MiB and the digest of the list).
const int64_t kMaxArchiveSize = 256 * 1024 * 1024;
const int64_t kMaxManifestSize = 1024 * 1024;
const int64_t kMaxHashListSize = (kMaxArchiveSize / 0x100000 + 1) * 16;
// A signature file (SignatureFile.h); a longer answer is none.
const int64_t kMaxSignatureSize = (int64_t)kSignatureFileMax;

// The hash list of an archive as downloaded.
struct HashListHolder {
    uint8_t* data = nullptr;
    int64_t length = 0;
};

class CDownloadFile : public IProgressFile {
  public:
    // An empty or null `url` leaves the record empty with no tries. A hash
    // list holder exists exactly when `hashUrl` is not empty; without memory
    // for it the record has no tries either.
    CDownloadFile(IDownloadFileEventListener* owner, const char* url, const char* hashUrl,
                  const char* name, const char* folder);
    ~CDownloadFile() override;
    CDownloadFile(const CDownloadFile&) = delete;
    CDownloadFile& operator=(const CDownloadFile&) = delete;

    // The hash-list URL while it is still to be fetched, else the URL.
    int32_t GetKey(ovCString& out) override;
    bool IsFinal() override;
    // An archive given this way is copied first.
    int32_t OnDownloaded(const char* url, const uint8_t* data, int64_t size,
                         int32_t* mode) override;
    // An archive's buffer is taken; anything else is left to the caller.
    int32_t OnDownloadedBuffer(const char* url, uint8_t** buffer, int64_t size,
                               int32_t* mode) override;
    int32_t GetMode(const char* url) override;

    // The manifest must come with the publisher's signature, fetched first
    // from its URL with ".sig" appended.
    void RequireSignature();
    // The signature as fetched (its length may be wrong); null before.
    const uint8_t* Signature(int64_t* length) const;
    // The SHA-256 the archive must have (copied); null for none.
    void SetExpectedSha256(const uint8_t* sha256);
    const uint8_t* ExpectedSha256() const { return m_hasSha256 ? m_sha256 : nullptr; }

    // The archive's unpack under way (owned; replaces and ends any earlier).
    void SetUnpack(EngineUnpack* unpack);
    bool Unpacking() const { return m_unpack != nullptr; }
    // When the unpack under way has ended: its result in `*result`, the
    // unpack is gone, true. False while it runs or when there is none.
    bool TakeUnpackResult(int32_t* result);

    bool MatchesKey(const char* text) const;
    // Ends an attempt: clears the busy flag; `unreachable` gives back the
    // try the hand-out used. True when the record is done with: on success,
    // or on failure with no try left.
    bool Finish(bool success, bool unreachable);

    // Hand-out bookkeeping of the list: uses a try unless unlimited; false
    // (and not busy) when none was left.
    bool TakeForDownload();
    bool Busy() const { return m_busy != 0; }
    void SetUnlimited(bool unlimited) { m_unlimited = unlimited ? 1 : 0; }
    int32_t TriesLeft() const { return m_tries; }

    const ovCString& Url() const { return m_url; }
    const ovCString& HashUrl() const { return m_hashUrl; }
    const ovCString& Name() const { return m_name; }
    const ovCString& Folder() const { return m_folder; }
    const HashListHolder* Holder() const { return m_holder; }

  private:
    const ovCString& CurrentKey() const {
        return !m_sigUrl.IsEmpty() ? m_sigUrl : m_hashUrl.IsEmpty() ? m_url : m_hashUrl;
    }
    // `data` or, for an archive, `owned` (taken, set to null).
    int32_t Take(const char* url, const uint8_t* data, uint8_t** owned, int64_t size,
                 int32_t* mode);

    IDownloadFileEventListener* m_owner;
    ovCString m_url;
    ovCString m_hashUrl;
    ovCString m_folder;
    ovCString m_name;
    int32_t m_phaseMode = kDownloadModeUnknown;
    int32_t m_phaseResult = kDownloadOk;
    HashListHolder* m_holder = nullptr;
    int32_t m_busy = 0;
    int32_t m_unlimited = 0;
    int32_t m_tries = 0;
    // The running attempt used a try.
    bool m_charged = false;
    EngineUnpack* m_unpack = nullptr;
    // The signature's URL while it is still to be fetched.
    ovCString m_sigUrl;
    bool m_signed = false;
    uint8_t m_signature[kSignatureFileMax];
    int64_t m_signatureLength = -1;
    uint8_t m_sha256[kSha256Size];
    bool m_hasSha256 = false;
};
