// One HTTP GET of the engine update: fetches the current key of a file
// record (IProgressFile) whole into memory and hands the bytes to it. A
// record whose hash list just arrived is started again at once for its
// archive.
//
// Redirects (301, 302, 303, 307, 308) are followed, at most kMaxRedirects in
// a row; the file still knows the download by its own URL.
//
// Sizes are bounded by the mode: a manifest up to kMaxManifestSize, a hash
// list up to kMaxHashListSize, a signature up to kMaxSignatureSize,
// anything else up to kMaxArchiveSize; a longer Content-Length is an
// unexpected answer (nothing is allocated).
//
// An archive whose download is cut off (a failed try, or the session
// destroyed: the update's deadline, the library stopping) keeps what arrived
// in its partial file (PartialArchive.h); the next attempt asks for the rest
// with "Range: bytes=<kept>-" and If-Range (the validator the server gave).
// Only a 206 whose Content-Range starts there, runs to the end and names the
// kept size continues the bytes; a 200 starts over, and any other answer to
// the range (another range, 416) drops the kept bytes and asks for the whole
// archive once more. A finished archive removes its partial file before it
// is checked, so kept bytes that spoil it are fetched whole next time.
//
// A connect that fails (refused, no route, timed out, or a name that cannot
// be looked up) is a failed try (kSessionConnectTimeout) while the machine
// has a network; only without one (InternetConnected) is the host
// unreachable (kSessionHostUnreachable), which waits for the network without
// using up tries.
//
// Threads: everything on the library thread; the request is configured
// under the library lock (HttpConnection.h).
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwIHttpClientExEventListener.h"
#include "opn/opeerqos/cpCTimer.h"
#include "sdk/download/LowSpeedGuard.h"
#include "sdk/download/engine/PartialArchive.h"

class IDownloadSessionEventListener;
class ovIHttpClientExLayer;
class IProgressFile;

class CDownloadSession : public nwIHttpClientExEventListener {
  public:
    static constexpr uint32_t kConnectTimeoutSec = 4;
    static constexpr uint32_t kReceiveTimeoutSec = 4;
    static constexpr uint32_t kTimerTagReport = 0x1000030;

    CDownloadSession() = default;
    ~CDownloadSession() override;
    CDownloadSession(const CDownloadSession&) = delete;
    CDownloadSession& operator=(const CDownloadSession&) = delete;

    void SetListener(IDownloadSessionEventListener* listener, uint32_t context);
    // Not owned.
    void SetFile(IProgressFile* file) { m_file = file; }
    IProgressFile* File() const { return m_file; }
    // Fetches the file's current key; nothing for an empty key. A request
    // that cannot even be opened is reported shortly after, on the library
    // thread.
    void Start();
    bool IsBusy() const { return m_busy != 0; }
    const ovCString& Url() const { return m_url; }

    void OnConnected(uint32_t key) override;
    void OnResponse(uint32_t key) override;
    int32_t OnData(uint32_t key, const uint8_t* data, int32_t length) override;
    void OnComplete(uint32_t key) override;
    void OnSendDrained(uint32_t key) override;
    void OnClosed(uint32_t key) override;
    void OnConnectTimeout(uint32_t key) override;
    void OnReceiveTimeout(uint32_t key) override;
    void OnHostUnreachable(uint32_t key) override;

  private:
    // Opens one hop; false when it could not be opened.
    bool Request(const char* url);
    static int32_t OpenFailure(const char* url);
    void FollowRedirect(ovIHttpClientExLayer* http);
    bool IsCurrent(uint32_t key) const { return m_busy && key == m_serial; }
    int64_t SizeLimit() const;
    void FreeData();
    // Keeps the archive bytes received so far in the partial file, when
    // that is more than it holds.
    void KeepPartial();
    void DropResume();
    // Takes the kept bytes for a 206 answer; false when it is no
    // continuation of them.
    bool ContinueResume(ovIHttpClientExLayer* http, int32_t status, int64_t length);
    void Release();
    // Ends the request and reports `code`; the last thing a caller does.
    void Fail(int32_t code);
    static void OnReportTimer(void* self);
    // A trickle fails the request like a receive time-out.
    static void OnTooSlow(void* self);

    IDownloadSessionEventListener* m_listener = nullptr;
    uint32_t m_context = 0;
    ovSmartPtr m_connection;
    ovCString m_url;
    // The URL of the running hop (m_url or where it redirected).
    ovCString m_requestUrl;
    int32_t m_redirects = 0;
    uint8_t* m_data = nullptr;
    int64_t m_contentLength = 0;
    int64_t m_received = 0;
    IProgressFile* m_file = nullptr;
    int32_t m_busy = 0;
    int32_t m_mode = 0;
    uint32_t m_serial = 0;
    ovSmartPtr m_reportTimer;
    int32_t m_pendingError = 0;
    // The kept bytes to continue (data null: none), and how many of the
    // running archive's bytes its partial file holds.
    PartialArchive m_resume;
    int64_t m_partialKept = 0;
    // The running answer's validator (ETag, else Last-Modified).
    ovCString m_validator;
    LowSpeedGuard m_slowGuard{&CDownloadSession::OnTooSlow, this};
};
