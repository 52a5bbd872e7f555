// The flat call interface: thin forwarders to the single library thread
// object. All entry points are called on the host's user-interface thread.
#include "sdk/api/SwarmFetch.h"

#include <new>

#include "opn/platform/pfHostPath.h"
#include "opn/platform/pfThread.h"
#include "opn/platform/pfVolume.h"
#include "sdk/api/CDownloadLibThread.h"
#include "sdk/api/CJobManager.h"
#include "sdk/support/PublisherSignature.h"
#include "sdk/support/ServiceLog.h"

namespace {

// Null while the library is not initialised.
CDownloadLibThread* g_thread = nullptr;
// Kept after a failed initialisation, cleared by SwarmFetch_Finalize.
void* g_user = nullptr;

// Result codes of a publisher check: a bad signature is told apart from a
// build that has no key to check with.
int32_t PublisherCheckResult(PublisherCheck check) {
    switch (check) {
        case PublisherCheck::kValid:
            return SF_RESULT_OK;
        case PublisherCheck::kNoKey:
            return SF_RESULT_FAILED;
        case PublisherCheck::kInvalid:
            break;
    }
    return SF_RESULT_NO_URL;
}

}  // namespace

extern "C" {

int32_t SwarmFetch_Initialize(HWND window, SwarmFetchEventCallback callback, void* user,
                              uint8_t elevate) {
    if (g_thread)
        return SF_RESULT_ALREADY_INITIALIZED;
    // From here on the network stack's messages go to the service log too.
    LogInstallSink();
    int32_t result = SF_RESULT_FAILED;
    g_thread = new (std::nothrow) CDownloadLibThread();
    if (g_thread) {
        PfEvent* started = PfEventCreate();
        if (g_thread->Start(started)) {
            const bool signalled = PfEventWait(started, CDownloadLibThread::kStartTimeoutMs);
            if (signalled)
                result = g_thread->SetHost(window, callback, user, elevate);
            g_thread->StartWaitOver(signalled);
        } else {
            g_thread->StartWaitOver(false);
        }
    }
    if (result == SF_RESULT_OK) {
        LogWrite("[SwarmFetchLib] Initialize");
    } else {
        // The thread object stays in place until SwarmFetch_Finalize.
        g_user = user;
        LogPrintf("[SwarmFetchLib] Initialize Failed : %d", (int)result);
    }
    return result;
}

int32_t SwarmFetch_Init(HWND window, SwarmFetchEventCallback callback, void* user) {
    return SwarmFetch_Initialize(window, callback, user, 1);
}

int32_t SwarmFetch_Finalize(void) {
    LogWrite("[SwarmFetchLib] Finalize Begin");
    CDownloadLibThread* thread = g_thread;
    // A job stopped or done just now has its statistics report still on the
    // way; it gets a bounded while before the network goes down.
    CJobManager* jobManager = thread ? thread->JobManager() : nullptr;
    if (jobManager)
        jobManager->DeliverPendingReports(CJobManager::kReportDeliveryWaitMs);
    delete thread;
    g_thread = nullptr;
    g_user = nullptr;
    LogWrite("[SwarmFetchLib] Finalize End");
    return SF_RESULT_OK;
}

void* SwarmFetch_GetUserData(void) {
    return g_user;
}

int32_t SwarmFetch_DownloadData(const char* url) {
    if (!g_thread) {
        LogDebugTrace("[SwarmFetchLib_D] 0x00A0");
        return SF_RESULT_FAILED;
    }
    return g_thread->DownloadData(url);
}

int32_t SwarmFetch_RequestData(const char* url) {
    return SwarmFetch_DownloadData(url);
}

int32_t SwarmFetch_GetDataSize(int64_t* size) {
    return g_thread ? g_thread->GetDataSize(size) : SF_RESULT_FAILED;
}

int32_t SwarmFetch_GetData(SwarmFetchDataBuffer* buffer) {
    return g_thread ? g_thread->GetData(buffer) : SF_RESULT_FAILED;
}

int32_t SwarmFetch_AddSizeCheck(const char* url) {
    if (!g_thread) {
        LogDebugTrace("[SwarmFetchLib_D] 0x00B1");
        return SF_RESULT_FAILED;
    }
    return g_thread->AddSizeCheck(url);
}

int32_t SwarmFetch_StartSizeCheck(void) {
    if (!g_thread) {
        LogDebugTrace("[SwarmFetchLib_D] 0x0008");
        return SF_RESULT_FAILED;
    }
    return g_thread->StartSizeCheck();
}

int32_t SwarmFetch_GetSizeCheckTotal(int64_t* total) {
    return g_thread ? g_thread->GetSizeCheckTotal(total) : SF_RESULT_FAILED;
}

int32_t SwarmFetch_CreateJob(uint32_t* job, const char* code, const char* name) {
    return g_thread ? g_thread->CreateJob(job, code, name) : SF_RESULT_FAILED;
}

int32_t SwarmFetch_AddFileEx(uint32_t job, const char* url, const char* folder,
                             const char* fileName, int64_t expectedSize, int32_t value1,
                             int32_t value2) {
    if (!g_thread || job == 0)
        return SF_RESULT_FAILED;
    return g_thread->AddFile(job, url, folder, fileName, expectedSize, value1, value2);
}

int32_t SwarmFetch_AddFile(uint32_t job, const char* url, const char* folder, const char* fileName,
                           int64_t expectedSize, int32_t value1) {
    return SwarmFetch_AddFileEx(job, url, folder, fileName, expectedSize, value1, 0);
}

int32_t SwarmFetch_StartJob(uint32_t job, uint8_t useEngine) {
    if (!g_thread || job == 0)
        return SF_RESULT_FAILED;
    return g_thread->StartJob(job, useEngine);
}

int32_t SwarmFetch_RunJob(uint32_t job, uint8_t useEngine) {
    return SwarmFetch_StartJob(job, useEngine);
}

int32_t SwarmFetch_StopJob(uint32_t job) {
    if (!g_thread || job == 0)
        return SF_RESULT_FAILED;
    return g_thread->StopJob(job);
}

int32_t SwarmFetch_StopJobEx(uint32_t job, uint32_t ignored) {
    (void)ignored;
    return SwarmFetch_StopJob(job);
}

int32_t SwarmFetch_DeleteJob(uint32_t job) {
    if (!g_thread || job == 0)
        return SF_RESULT_FAILED;
    return g_thread->DeleteJob(job);
}

int32_t SwarmFetch_SetJobEngineFlag(uint32_t job) {
    if (!g_thread || job == 0)
        return SF_RESULT_FAILED;
    return g_thread->SetJobEngineFlag(job);
}

int32_t SwarmFetch_ResumeReply(uint32_t job, uint8_t resume, uint8_t applyToAll) {
    if (!g_thread || job == 0)
        return SF_RESULT_FAILED;
    return g_thread->ResumeReply(job, resume, applyToAll);
}

int32_t SwarmFetch_SetEngineParameter(const char* text) {
    return g_thread ? g_thread->SetEngineParameter(text) : SF_RESULT_FAILED;
}

int32_t SwarmFetch_GetSizeInfo(uint32_t job, SwarmFetchSizeInfo* out) {
    if (!g_thread || job == 0)
        return SF_RESULT_FAILED;
    return g_thread->GetSizeInfo(job, out);
}

int32_t SwarmFetch_GetProgress(uint32_t job, SwarmFetchProgress* out) {
    if (!g_thread || job == 0)
        return SF_RESULT_FAILED;
    return g_thread->GetProgress(job, out);
}

int32_t SwarmFetch_GetFileDone(uint32_t job, SwarmFetchFileDone* out) {
    if (!g_thread || job == 0)
        return SF_RESULT_FAILED;
    return g_thread->GetFileDone(job, out);
}

int32_t SwarmFetch_GetJobDone(uint32_t job, SwarmFetchJobDone* out) {
    if (!g_thread || job == 0)
        return SF_RESULT_FAILED;
    return g_thread->GetJobDone(job, out);
}

int32_t SwarmFetch_GetMessageLength(uint32_t job, int32_t* length) {
    if (!g_thread || job == 0)
        return SF_RESULT_FAILED;
    return g_thread->GetMessageLength(job, length);
}

int32_t SwarmFetch_PopMessage(uint32_t job, SwarmFetchMessage* out) {
    if (!g_thread || job == 0)
        return SF_RESULT_FAILED;
    return g_thread->PopMessage(job, out);
}

int32_t SwarmFetch_GetRemainingBytes(uint32_t job, int64_t* bytes) {
    return g_thread ? g_thread->GetRemainingBytes(job, bytes) : SF_RESULT_FAILED;
}

int32_t SwarmFetch_CheckDiskSpace(const char* path, int64_t bytes) {
    if (bytes <= 0)
        return SF_RESULT_OK;
    ovCString libraryPath;
    if (!path || !PfHostPathToLibrary(path, libraryPath))
        return SF_RESULT_FAILED;
    const char root[4] = {libraryPath.CStr()[0], ':', '\\', '\0'};
    int64_t freeBytes = 0;
    // Unreadable free space counts as none.
    if (!PfFreeDiskSpace(root, &freeBytes))
        freeBytes = 0;
    return freeBytes > bytes ? SF_RESULT_OK : SF_RESULT_FAILED;
}

int32_t SwarmFetch_VerifyPublisherSignature(const void* data, int32_t size, const void* sig,
                                            int32_t sigSize) {
    return PublisherCheckResult(VerifyPublisherSignature(data, size, sig, sigSize));
}

int32_t SwarmFetch_VerifyPublisherFile(const void* data, int32_t size, const void* sigFile,
                                       int32_t sigFileSize, const char* product, int64_t* serial) {
    return PublisherCheckResult(
        VerifyPublisherFile(data, size, sigFile, sigFileSize, product, serial));
}

}  // extern "C"

CDownloadLibThread* SwarmFetchLibraryThread() {
    return g_thread;
}
