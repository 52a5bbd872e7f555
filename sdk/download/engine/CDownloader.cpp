#include "sdk/download/engine/CDownloader.h"

#include <new>

#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/cpCTimer.h"
#include "sdk/download/engine/CBinaryExecute_V3.h"
#include "sdk/download/engine/CDownloadSession.h"
#include "sdk/download/engine/EngineManifestUrl.h"
#include "sdk/support/ServiceLog.h"

namespace {

// "[SwarmFetchLib] 엔진 다운로드 실패 result : " in code page 949.
const char kInstallFailedLog[] =
    "[SwarmFetchLib] \xBF\xA3\xC1\xF8 \xB4\xD9\xBF\xEE\xB7\xCE\xB5\xE5 \xBD\xC7\xC6\xD0 "
    "result : ";

}  // namespace

CDownloader::CDownloader(IDownloaderEventListener* listener) : m_listener(listener) {
    LogWrite("[SwarmFetchLib] Initialize Downloader");
}

CDownloader::~CDownloader() {
    StopRetryTimer();
    StopUnpackTimer();
    for (ovCPtrList::Node* node = m_sessions.HeadNode(); node; node = node->next)
        delete static_cast<CDownloadSession*>(node->element);
    m_sessions.RemoveAll();
    LogWrite("[SwarmFetchLib] Finalize Downloader");
}

void CDownloader::BeginUpdate() {
    m_files.AddManifest(EngineManifestUrl());
    StartNext(true);
    LogWrite("[SwarmFetchLib] Begin Update");
}

void CDownloader::StartNext(bool create) {
    if (m_ended)
        return;
    if (m_files.IsEmpty()) {
        Finish();
        return;
    }
    CDownloadSession* session = nullptr;
    for (ovCPtrList::Node* node = m_sessions.HeadNode(); node && !session; node = node->next) {
        CDownloadSession* candidate = static_cast<CDownloadSession*>(node->element);
        if (!candidate->IsBusy())
            session = candidate;
    }
    if (!session) {
        if (!create)
            return;
        session = new (std::nothrow) CDownloadSession();
        if (!session || !m_sessions.AddTail(session)) {
            delete session;
            return;
        }
        session->SetListener(this, 0);
    }
    CDownloadFile* file = m_files.NextPending();
    if (!file)
        return;
    session->SetFile(file);
    session->Start();
}

void CDownloader::Finish() {
    m_ended = true;
    StopRetryTimer();
    const int32_t launched = RunEngine() ? 1 : 0;
    if (m_listener)
        m_listener->OnFinished(launched, m_allOk, m_files.NewVersion().CStr());
}

void CDownloader::DeleteSession(CDownloadSession* session) {
    if (m_sessions.Remove(session))
        delete session;
}

void CDownloader::StopRetryTimer() {
    if (m_retryTimer.IsEmpty())
        return;
    m_retryTimer.As<cpCTimer>()->Stop();
    m_retryTimer.Reset();
}

void CDownloader::OnSessionConnected(CDownloadSession* session) {
    (void)session;
    if (m_retryTimer.IsEmpty())
        return;
    StopRetryTimer();
    m_files.SetUnlimited(false);
}

void CDownloader::OnSessionFinished(CDownloadSession* session, const DownloadOutcome& outcome) {
    session->SetFile(nullptr);
    if (m_ended)
        return;
    if (outcome.result == kDownloadUnpacking) {
        WaitForUnpack();
        return;
    }
    EndAttempt(outcome);
}

void CDownloader::WaitForUnpack() {
    if (!m_unpackTimer.IsEmpty())
        return;
    // Without a timer manager no session could have run either.
    if (!m_unpackTimer.CreateInstance(OV_CLSID_TIMER) ||
        OV_FAILED(m_unpackTimer.As<cpCTimer>()->Start(kUnpackPollMs, &CDownloader::OnUnpackTimer,
                                                      this, kTimerTagUnpack, ovSmartPtr())))
        m_unpackTimer.Reset();
}

void CDownloader::StopUnpackTimer() {
    if (m_unpackTimer.IsEmpty())
        return;
    m_unpackTimer.As<cpCTimer>()->Stop();
    m_unpackTimer.Reset();
}

void CDownloader::OnUnpackTimer(void* self) {
    CDownloader* downloader = static_cast<CDownloader*>(self);
    DownloadOutcome outcome;
    outcome.mode = kDownloadModeArchive;
    while (!downloader->m_ended && downloader->m_files.TakeUnpacked(outcome.url, &outcome.result))
        downloader->EndAttempt(outcome);
    if (downloader->m_ended || !downloader->m_files.Unpacking())
        downloader->StopUnpackTimer();
}

void CDownloader::EndAttempt(const DownloadOutcome& outcome) {
    if (outcome.result == kDownloadUnpackFailed || outcome.result == kDownloadNoEngineFolder) {
        LogPrintf("%s%d", kInstallFailedLog, (int)outcome.result);
        m_ended = true;
        StopRetryTimer();
        if (m_listener)
            m_listener->OnInstallFailed(IDownloaderEventListener::kInstallFolder);
        return;
    }
    // A refused downgrade is no success, yet final: the same manifest would
    // be refused again.
    const bool refused = outcome.result == kDownloadDowngradeRefused;
    if ((outcome.result >= 1 && outcome.result <= 6) || refused)
        m_allOk = 0;
    const bool success = outcome.result == kDownloadOk || outcome.result == 6 || refused;
    if (m_files.Ended(outcome.url.CStr(), success, false) == CDownloadFileList::kEndGivenUp)
        m_allOk = 0;
    LogPrintf("[SwarmFetchLib] Download Completed (URL: %s)(Code: %d)", outcome.url.CStr(),
              (int)outcome.result);
    if (outcome.mode != kDownloadModeManifest) {
        StartNext(false);
        return;
    }
    // One session per file the manifest selected; an empty list finishes.
    const int32_t files = m_files.Count();
    if (files == 0) {
        StartNext(true);
        return;
    }
    for (int32_t i = 0; i < files && !m_ended; ++i)
        StartNext(true);
}

void CDownloader::OnSessionError(CDownloadSession* session, int32_t code) {
    session->SetFile(nullptr);
    const bool unreachable = code == kSessionHostUnreachable;
    if (m_files.Ended(session->Url().CStr(), false, unreachable) == CDownloadFileList::kEndGivenUp)
        m_allOk = 0;
    LogPrintf("[SwarmFetchLib] Session Error (URL: %s)(Code: %d)", session->Url().CStr(),
              (int)code);
    DeleteSession(session);
    if (m_ended)
        return;
    if (!unreachable) {
        // A connect that failed for any other reason means the network is
        // back: tries count again, or a refusing host would be tried for ever.
        if (!m_retryTimer.IsEmpty()) {
            StopRetryTimer();
            m_files.SetUnlimited(false);
        }
        StartNext(true);
        return;
    }
    if (!m_retryTimer.IsEmpty())
        return;
    if (!m_retryTimer.CreateInstance(OV_CLSID_TIMER) ||
        OV_FAILED(m_retryTimer.As<cpCTimer>()->Start(kRetryPeriodMs, &CDownloader::OnRetryTimer,
                                                     this, kTimerTagRetry, ovSmartPtr()))) {
        // No timer manager runs: nothing could ever retry.
        m_retryTimer.Reset();
        return;
    }
    m_files.SetUnlimited(true);
    if (m_listener)
        m_listener->OnWaitingForNetwork();
}

void CDownloader::OnRetryTimer(void* self) {
    CDownloader* downloader = static_cast<CDownloader*>(self);
    // Only when nothing is under way: an idle session kept from an earlier
    // download does not count.
    for (ovCPtrList::Node* node = downloader->m_sessions.HeadNode(); node; node = node->next)
        if (static_cast<CDownloadSession*>(node->element)->IsBusy())
            return;
    downloader->StartNext(true);
}

void CDownloader::OnSizeKnown(CDownloadSession* session, const char* url, int64_t size) {
    (void)session;
    if (m_listener)
        m_listener->OnSizeKnown(url, (int32_t)(uint32_t)size, (int32_t)(size >> 32));
}

void CDownloader::OnDownloadProgress(CDownloadSession* session, const char* url, int64_t bytes) {
    (void)session;
    if (m_listener)
        m_listener->OnProgress(url, (int32_t)(uint32_t)bytes, (int32_t)(bytes >> 32));
}
