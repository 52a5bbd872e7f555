#include "sdk/download/plain/CPlatFormDownloader.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "opn/platform/cpCMutex.h"
#include "opn/core/ovCString.h"
#include "opn/platform/pfClock.h"
#include "sdk/download/CJob.h"
#include "sdk/download/ByteCount.h"
#include "sdk/download/ProgressName.h"
#include "sdk/download/plain/CPlatformFileSizeChecker.h"
#include "sdk/download/plain/CPlatformReporter.h"
#include "sdk/download/plain/FilesInFlight.h"
#include "sdk/download/Connectivity.h"
#include "sdk/support/ServiceLog.h"

struct CPlatFormDownloader::PlatformJobContext {
    CPlatformFileSizeChecker* checker = nullptr;  // owned
    FilesInFlight* session = nullptr;             // owned
    CJob* job = nullptr;
    int64_t totalSize = 0;
    int64_t presentBytes = 0;
    int32_t entryCount = 0;
    int32_t completedFiles = 0;
    uint64_t startTickMs = 0;  // ClockTickMs() when the session started
};

CPlatFormDownloader::CPlatFormDownloader(IJobDownloadEventListener* manager, const ovSmartPtr& lock)
    : m_lock(lock) {
    m_manager = manager;
    m_reporter = new (std::nothrow) CPlatformReporter();
}

CPlatFormDownloader::~CPlatFormDownloader() {
    {
        ovCAutoLock hold(m_lock);
        while (m_contexts.Count() > 0)
            DestroyContext(static_cast<PlatformJobContext*>(m_contexts.GetHead()));
        delete m_reporter;
        m_reporter = nullptr;
        m_connections.Clear();
    }
    LogWrite("[SwarmFetchLib] CPlatFormDownloader Destroy");
}

CPlatFormDownloader::PlatformJobContext* CPlatFormDownloader::FindContext(const CJob* job) const {
    for (ovCPtrList::Node* node = m_contexts.HeadNode(); node; node = node->next) {
        PlatformJobContext* context = static_cast<PlatformJobContext*>(node->element);
        if (context->job == job)
            return context;
    }
    return nullptr;
}

FilesInFlight* CPlatFormDownloader::SessionOf(const CJob* job) const {
    PlatformJobContext* context = FindContext(job);
    return context ? context->session : nullptr;
}

int32_t CPlatFormDownloader::Begin(CJob* job) {
    if (!job || FindContext(job))
        return SF_RESULT_FAILED;
    ovCAutoLock hold(m_lock);
    LogWrite("[SwarmFetchLib] CPlatFormDownloader Begin");
    PlatformJobContext* context = new (std::nothrow) PlatformJobContext;
    if (!context)
        return SF_RESULT_FAILED;
    context->job = job;
    if (!m_contexts.AddTail(context)) {
        delete context;
        return SF_RESULT_FAILED;
    }
    // The check may end inside, and with it the context: nothing after it.
    StartSizeCheck(context);
    return SF_RESULT_OK;
}

void CPlatFormDownloader::End(CJob* job) {
    ovCAutoLock hold(m_lock);
    PlatformJobContext* context = FindContext(job);
    if (!context)
        return;
    SendFileReport(context);
    DestroyContext(context);
}

void CPlatFormDownloader::CheckConnection(CJob* job) {
    const bool connected = InternetConnected();
    if (!connected && !m_offline) {
        m_offline = 1;
        for (ovCPtrList::Node* node = m_jobs.HeadNode(); node; node = node->next)
            static_cast<CJob*>(node->element)->QueueMessage(SF_MSG_NETWORK_LOST, nullptr);
    } else if (connected && m_offline) {
        m_offline = 0;
        QueueJobMessage(job, SF_MSG_NETWORK_BACK, nullptr);
    }
}

void CPlatFormDownloader::StartSizeCheck(PlatformJobContext* context) {
    delete context->checker;
    context->checker = new (std::nothrow) CPlatformFileSizeChecker();
    if (!context->checker) {
        CJob* job = context->job;
        DestroyContext(context);
        DropJobWithMessage(job, SF_MSG_FAILED, nullptr);
        return;
    }
    context->checker->SetListener(this, context);
    context->checker->SetConnectionPool(&m_connections);
    context->checker->Start(*context->job);
}

void CPlatFormDownloader::DestroyContext(PlatformJobContext* context) {
    m_contexts.Remove(context);
    if (context->session)
        context->session->SetListener(nullptr, nullptr);
    if (context->checker)
        context->checker->SetListener(nullptr, nullptr);
    delete context->session;
    delete context->checker;
    delete context;
}

void CPlatFormDownloader::OnFileSizeCheckCompleted(void* opaque,
                                                   const FileSizeCheckResult& result) {
    PlatformJobContext* context = static_cast<PlatformJobContext*>(opaque);
    LogWrite("[SwarmFetchLib] CPlatFormDownloader FileSizeCheck Completed");
    ReportSizeInfo(context->job, result.entryCount, result.totalSize);
    context->totalSize = result.totalSize;
    context->presentBytes = result.presentBytes;
    context->entryCount = result.entryCount;
    context->startTickMs = ClockTickMs();
    StartSession(context);
}

void CPlatFormDownloader::StartSession(PlatformJobContext* context) {
    delete context->session;
    context->session = new (std::nothrow) FilesInFlight();
    if (!context->session) {
        QueueJobMessage(context->job, SF_MSG_FAILED, nullptr);
        return;
    }
    context->session->SetListener(this, context);
    context->session->SetFullSpeed(context->job->UseEngine());
    context->session->SetConnectionPool(&m_connections);
    // Every size is known now: the host's, or the check's. The session
    // holds each answer to it.
    CJob& job = *context->job;
    const int32_t count = job.EntryCount();
    int64_t* known = count > 0 ? new (std::nothrow) int64_t[count] : nullptr;
    for (int32_t i = 0; known && i < count; ++i) {
        const DownloadEntry* entry = job.EntryAt(i);
        known[i] = entry ? entry->size : -1;
        if (entry && entry->size == -1 && context->checker)
            known[i] = context->checker->CheckedSize(entry->index);
    }
    if (count > 0 && !known) {
        QueueJobMessage(context->job, SF_MSG_FAILED, nullptr);
        return;
    }
    // The session may report its end inside Start; the context stays.
    context->session->Start(job, known);
    delete[] known;
}

void CPlatFormDownloader::OnFileSizeCheckFailed(void* opaque, int32_t code, const char* text) {
    PlatformJobContext* context = static_cast<PlatformJobContext*>(opaque);
    CJob* job = context->job;
    // The text lives in the checker, which goes with the context.
    ovCString message;
    const bool copied = message.Assign(text ? text : "");
    DestroyContext(context);
    DropJobWithMessage(job, code, copied ? message.CStr() : nullptr);
    StopTimerWhenIdle();
}

void CPlatFormDownloader::OnProgress(void* opaque) {
    PlatformJobContext* context = static_cast<PlatformJobContext*>(opaque);
    SwarmFetchProgress progress;
    ComputeProgress(context, &progress);
    StoreProgress(context->job, progress);
}

void CPlatFormDownloader::OnFileOpened(const char* path, void* opaque) {
    PlatformJobContext* context = static_cast<PlatformJobContext*>(opaque);
    if (!Holds(context->job))
        return;
    // A retry opens the same file again: keep one record per path.
    ovCString known;
    for (int32_t i = 0; context->job->OpenedPathAt(i, &known, nullptr); ++i) {
        if (known.Equals(path))
            return;
    }
    context->job->AddOpenedPath(path);
}

void CPlatFormDownloader::OnFileComplete(void* opaque, const DownloadEntry* entry) {
    PlatformJobContext* context = static_cast<PlatformJobContext*>(opaque);
    if (!entry)
        return;
    ovCString path;
    if (!path.Assign(entry->folder) || !path.Append(entry->fileName))
        return;
    if (Holds(context->job))
        context->job->MarkPathFinished(path.CStr());
    ++context->completedFiles;
    ReportFileDone(context->job, path.CStr(), entry->urlList.CStr());
}

void CPlatFormDownloader::OnSessionError(void* opaque, int32_t code, const char* url) {
    PlatformJobContext* context = static_cast<PlatformJobContext*>(opaque);
    // 513 ends the session: the file is not complete and the job is not done.
    QueueJobMessage(context->job, code, url);
}

void CPlatFormDownloader::OnSessionFailed(void* opaque, const char* url) {
    PlatformJobContext* context = static_cast<PlatformJobContext*>(opaque);
    // An empty URL: none of the job's entries could be downloaded at all.
    QueueJobMessage(context->job, SF_MSG_FAILED,
                    url && url[0] ? url : "no file of the job can be downloaded");
}

void CPlatFormDownloader::OnAllFilesComplete(void* opaque) {
    PlatformJobContext* context = static_cast<PlatformJobContext*>(opaque);
    CJob* job = context->job;
    SendFileReport(context);
    SwarmFetchProgress progress;
    ComputeProgress(context, &progress);
    StoreProgress(job, progress);
    const int32_t completed = context->session ? context->completedFiles : 0;
    DestroyContext(context);
    ReportJobDone(job, completed, 0);
}

void CPlatFormDownloader::SendFileReport(PlatformJobContext* context) {
    if (!context->session || !m_reporter)
        return;
    const int32_t count = context->session->GetReport(nullptr, 0);
    if (count <= 0)
        return;
    FileReportEntry* entries =
        static_cast<FileReportEntry*>(calloc((size_t)count, sizeof(FileReportEntry)));
    if (!entries)
        return;
    const int32_t filled = context->session->GetReport(entries, count);
    m_reporter->Queue(filled < count ? filled : count, entries);
    free(entries);
}

void CPlatFormDownloader::ComputeProgress(const PlatformJobContext* context,
                                          SwarmFetchProgress* out) const {
    memset(out, 0, sizeof *out);
    const FilesInFlight* session = context->session;
    const int64_t total = context->totalSize;
    const int64_t received = session ? session->GetTotalBytes() : 0;
    out->total = total;
    out->received = received;
    out->fileCount = context->entryCount;
    out->filesDone = session ? context->completedFiles : 0;
    out->percent = BytePercent(received, total);

    // Measured in milliseconds, so a job of under a second has a speed and
    // shows the second it ran in; whole seconds are rounded.
    const uint64_t elapsedMs = ClockTickMs() - context->startTickMs;
    const int64_t elapsed = (int64_t)((elapsedMs + 500) / 1000);
    out->elapsed = elapsed > 0 ? elapsed : 1;
    // Bytes that were on disk already (files found whole, partial files
    // continued) are received, but not at this speed.
    const int64_t present = context->presentBytes + (session ? session->GetPresentBytes() : 0);
    int64_t speed = 0;
    if (received >= 0 && present <= received)
        speed = (int64_t)((double)(received - present) * 1000.0 /
                          (double)(elapsedMs > 0 ? elapsedMs : 1));
    if (speed > INT32_MAX)
        speed = INT32_MAX;
    out->speed = (int32_t)speed;
    const int64_t remaining = (total - received) / (speed > 0 ? speed : 1);
    out->remaining = remaining;

    const DownloadEntry* entry = session ? session->CurrentEntry() : nullptr;
    if (!entry)
        return;
    const int64_t entryReceived = entry->startOffset + entry->received;
    out->currentIndex = entry->index;
    out->currentSize = entry->size;
    out->currentReceived = entryReceived;
    out->currentSpeed = speed;
    out->currentRemaining = remaining;
    out->currentPercent = BytePercent(entryReceived, entry->size);
    const size_t length = entry->fileName.Length();
    const size_t cut = length < kProgressNameMax ? length : kProgressNameMax;
    memcpy(out->currentName, entry->fileName.CStr(), cut);
    out->currentName[cut] = '\0';
    out->currentName[kProgressNameMax] = '\0';
}
