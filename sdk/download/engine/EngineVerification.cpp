#include "sdk/download/engine/EngineVerification.h"

#include <new>

#include "opn/core/ovClassIds.h"
#include "opn/core/ovCString.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/download/CJob.h"
#include "sdk/download/plain/CPlatformSession.h"
#include "sdk/download/FileDigest.h"
#include "sdk/support/ServiceLog.h"

namespace {

const uint32_t kHashTag = 0x0E0E0002;

// What became of a file with a hash.
enum : uint8_t {
    kFileUnchecked,  // not reported done yet (or without a hash)
    kFileHashing,
    kFileVerified,
    kFileWrong,     // waits to be fetched again
    kFileFetching,  // by the session
    kFileFailed,    // could not be fetched: the job is never done
};

bool HasHashedEntry(CJob* job) {
    for (int32_t i = 0; i < job->EntryCount(); ++i) {
        const DownloadEntry* entry = job->EntryAt(i);
        if (entry && entry->hasSha256)
            return true;
    }
    return false;
}

}  // namespace

// The files of a held job that has entries with a hash.
struct EngineVerification::Check {
    CJob* job = nullptr;
    std::vector<uint8_t> states;    // per entry
    std::vector<uint32_t> tickets;  // per entry: its hash under way, or 0
    CPlatformSession* session = nullptr;
    int32_t sessionEntry = -1;
    // The engine reported the job done, with these values.
    bool finished = false;
    uint32_t result = 0;
    int64_t total = 0;
    int64_t ranFor = 0;
    int64_t kept = 0;
};

EngineVerification::~EngineVerification() {
    DropAll();
    ReapSessions();
    if (!m_hashTimer.IsEmpty())
        m_hashTimer.As<cpCTimer>()->Stop();
    m_hashTimer.Reset();
}

void EngineVerification::FileDone(CJob* job, int32_t index) {
    Check* check = CheckFor(job);
    if (check && index >= 0 && index < job->EntryCount())
        CheckFile(check, index);
}

bool EngineVerification::JobDone(CJob* job, uint32_t result, int64_t total, int64_t ranFor,
                                 int64_t kept) {
    Check* check = CheckFor(job);
    if (!check && HasHashedEntry(job)) {
        // No memory for the check: the job fails as when a file cannot be
        // fetched again, never done unverified.
        m_owner->OnVerificationMessage(job, SF_MSG_FAILED, nullptr);
        return true;
    }
    if (!check)
        return false;
    check->finished = true;
    check->result = result;
    check->total = total;
    check->ranFor = ranFor;
    check->kept = kept;
    // Files the engine did not report are read now; each report may
    // change the job's checks.
    for (int32_t i = 0; i < job->EntryCount() && check; ++i) {
        CheckFile(check, i);
        check = FindCheck(job);
    }
    if (check)
        FinishWhenVerified(check);
    return true;
}

void EngineVerification::DropAll() {
    while (!m_checks.empty())
        Drop(m_checks.front()->job);
}

EngineVerification::Check* EngineVerification::FindCheck(const CJob* job) const {
    for (Check* check : m_checks) {
        if (check->job == job)
            return check;
    }
    return nullptr;
}

EngineVerification::Check* EngineVerification::CheckFor(CJob* job) {
    Check* check = FindCheck(job);
    if (check)
        return check;
    const int32_t count = job->EntryCount();
    if (!HasHashedEntry(job))
        return nullptr;
    check = new (std::nothrow) Check;
    if (!check)
        return nullptr;
    check->job = job;
    try {
        check->states.assign((size_t)count, kFileUnchecked);
        check->tickets.assign((size_t)count, 0);
        m_checks.push_back(check);
    } catch (const std::bad_alloc&) {
        delete check;
        return nullptr;
    }
    return check;
}

bool EngineVerification::Finishing(const CJob* job) const {
    const Check* check = FindCheck(job);
    return check && check->finished;
}

void EngineVerification::Drop(const CJob* job) {
    for (size_t i = 0; i < m_checks.size(); ++i) {
        Check* check = m_checks[i];
        if (check->job != job)
            continue;
        m_checks.erase(m_checks.begin() + (std::ptrdiff_t)i);
        for (uint32_t ticket : check->tickets)
            m_hashes.Drop(ticket);
        if (check->session) {
            // It may be the caller: stopped now, so that nothing more is
            // written for a job that is gone, and deleted on a later turn.
            check->session->SetListener(nullptr, nullptr);
            check->session->Stop();
            if (m_oldSessions.AddTail(check->session))
                StartHashTimer();
            else
                delete check->session;
        }
        delete check;
        return;
    }
}

void EngineVerification::CheckFile(Check* check, int32_t index) {
    const DownloadEntry* entry = check->job->EntryAt(index);
    if (!entry || !entry->hasSha256 || check->states[(size_t)index] != kFileUnchecked)
        return;
    ovCString path;
    // Looked at without following a link: a link, a second name or a FIFO
    // the engine left there is wrong and is never read.
    const int64_t onDisk = path.Assign(entry->folder) && path.Append(entry->fileName)
                               ? PfFileSoleSize(path.CStr())
                               : -1;
    const uint32_t ticket =
        onDisk >= 0 && (entry->size < 0 || onDisk == entry->size) ? m_hashes.Add(path.CStr()) : 0;
    if (ticket == 0) {
        FileWrong(check, index);
        return;
    }
    check->tickets[(size_t)index] = ticket;
    check->states[(size_t)index] = kFileHashing;
    StartHashTimer();
}

void EngineVerification::JudgeFile(Check* check, int32_t index, Sha256Stream& hash,
                                   int64_t length) {
    CJob* job = check->job;
    const DownloadEntry* entry = job->EntryAt(index);
    ovCString path;
    if (!entry || !path.Assign(entry->folder) || !path.Append(entry->fileName))
        return;
    // A file that changed size while it was read is not the one measured.
    const bool good = length >= 0 && (entry->size < 0 || length == entry->size) &&
                      PfFileSoleSize(path.CStr()) == length && DigestIs(hash, entry->sha256);
    if (!good) {
        FileWrong(check, index);
        return;
    }
    check->states[(size_t)index] = kFileVerified;
    m_owner->OnFileVerified(job, path.CStr(), entry->urlList.CStr());
    // The host's callback ran inside that.
    check = FindCheck(job);
    if (check)
        FinishWhenVerified(check);
}

void EngineVerification::FileWrong(Check* check, int32_t index) {
    const DownloadEntry* entry = check->job->EntryAt(index);
    ovCString path;
    if (!entry || !path.Assign(entry->folder) || !path.Append(entry->fileName))
        return;
    LogPrintf("[SwarmFetchLib] CEngineDownloader job %d: file %d does not match, fetched again",
              (int)check->job->Number(), (int)index);
    // Wrong bytes are never kept, nor read again by the session.
    if (FsFileSize(path.CStr()) >= 0)
        FsDeleteFile(path.CStr());
    check->states[(size_t)index] = kFileWrong;
    StartRefetch(check);
}

void EngineVerification::StartRefetch(Check* check) {
    if (check->session || m_owner->VerificationRetired())
        return;
    int32_t index = -1;
    for (size_t i = 0; i < check->states.size() && index < 0; ++i) {
        if (check->states[i] == kFileWrong)
            index = (int32_t)i;
    }
    if (index < 0)
        return;
    CJob* job = check->job;
    CPlatformSession* session = new (std::nothrow) CPlatformSession();
    if (!session) {
        check->states[(size_t)index] = kFileFailed;
        m_owner->OnVerificationMessage(job, SF_MSG_FAILED, job->EntryAt(index)->urlList.CStr());
        return;
    }
    check->states[(size_t)index] = kFileFetching;
    check->session = session;
    check->sessionEntry = index;
    session->SetListener(this, check);
    session->SetFullSpeed(job->UseEngine());
    // It may end inside: nothing after this.
    session->Start(*job, nullptr, index);
}

void EngineVerification::FinishWhenVerified(Check* check) {
    if (!check->finished)
        return;
    // A file being hashed or fetched, or that could not be fetched, keeps
    // the job from being done.
    for (size_t i = 0; i < check->states.size(); ++i) {
        const DownloadEntry* entry = check->job->EntryAt((int32_t)i);
        if (entry && entry->hasSha256 && check->states[i] != kFileVerified)
            return;
    }
    CJob* job = check->job;
    const uint32_t result = check->result;
    const int64_t total = check->total;
    const int64_t ranFor = check->ranFor;
    const int64_t kept = check->kept;
    Drop(job);
    m_owner->OnJobVerified(job, result, total, ranFor, kept);
}

void EngineVerification::StartHashTimer() {
    if (!m_hashTimer.IsEmpty())
        return;
    if (!m_hashTimer.CreateInstance(OV_CLSID_TIMER) ||
        OV_FAILED(m_hashTimer.As<cpCTimer>()->Start(FileHashQueue::kPollMs,
                                                    &EngineVerification::OnHashTimer, this,
                                                    kHashTag, ovSmartPtr())))
        m_hashTimer.Reset();
}

void EngineVerification::ReapSessions() {
    while (m_oldSessions.Count() > 0)
        delete static_cast<CPlatformSession*>(m_oldSessions.RemoveAt(0));
}

void EngineVerification::OnHashTimer(void* self) {
    EngineVerification* verification = static_cast<EngineVerification*>(self);
    verification->ReapSessions();
    // Each report may change the jobs and their checks: after one that did,
    // the walk starts again (results already taken are not there twice).
    for (size_t k = 0;
         k < verification->m_checks.size() && !verification->m_owner->VerificationRetired();) {
        Check* check = verification->m_checks[k];
        bool changed = false;
        for (size_t i = 0; !changed && i < check->tickets.size(); ++i) {
            Sha256Stream hash;
            int64_t length = -1;
            if (check->tickets[i] == 0 ||
                !verification->m_hashes.Take(check->tickets[i], hash, &length))
                continue;
            check->tickets[i] = 0;
            verification->JudgeFile(check, (int32_t)i, hash, length);
            changed = k >= verification->m_checks.size() || verification->m_checks[k] != check;
        }
        k = changed ? 0 : k + 1;
    }
    if (verification->m_hashes.Count() == 0 && verification->m_oldSessions.Count() == 0 &&
        !verification->m_hashTimer.IsEmpty()) {
        verification->m_hashTimer.As<cpCTimer>()->Stop();
        verification->m_hashTimer.Reset();
    }
}

void EngineVerification::OnFileComplete(void* context, const DownloadEntry* entry) {
    Check* check = static_cast<Check*>(context);
    const int32_t index = check->sessionEntry;
    if (!entry || index < 0)
        return;
    check->states[(size_t)index] = kFileVerified;
    ovCString path;
    if (path.Assign(entry->folder) && path.Append(entry->fileName))
        m_owner->OnFileVerified(check->job, path.CStr(), entry->urlList.CStr());
}

void EngineVerification::RefetchEnded(Check* check, int32_t code, const char* url) {
    CJob* job = check->job;
    // The session is done with: deleted on a later turn, silent until then.
    if (check->session) {
        check->session->SetListener(nullptr, nullptr);
        if (!m_oldSessions.AddTail(check->session))
            delete check->session;
        StartHashTimer();
    }
    const int32_t index = check->sessionEntry;
    check->session = nullptr;
    check->sessionEntry = -1;
    if (code != SF_RESULT_OK) {
        // The file was not fetched: the job is never done.
        if (index >= 0 && check->states[(size_t)index] != kFileVerified)
            check->states[(size_t)index] = kFileFailed;
        const DownloadEntry* entry = index >= 0 ? job->EntryAt(index) : nullptr;
        m_owner->OnVerificationMessage(job, code,
                                       url && url[0] ? url
                                       : entry       ? entry->urlList.CStr()
                                                     : "");
    }
    check = FindCheck(job);
    if (check)
        StartRefetch(check);
    check = FindCheck(job);
    if (check && !check->session)
        FinishWhenVerified(check);
}

void EngineVerification::OnAllFilesComplete(void* context) {
    RefetchEnded(static_cast<Check*>(context), SF_RESULT_OK, nullptr);
}

void EngineVerification::OnSessionFailed(void* context, const char* url) {
    RefetchEnded(static_cast<Check*>(context), SF_MSG_FAILED, url);
}

void EngineVerification::OnSessionError(void* context, int32_t code, const char* url) {
    // 513 ends the session; any other code is a message only.
    if (code == SF_MSG_DISK_FULL) {
        RefetchEnded(static_cast<Check*>(context), code, url);
        return;
    }
    m_owner->OnVerificationMessage(static_cast<Check*>(context)->job, code, url);
}

void EngineVerification::OnProgress(void* context) {
    // The engine's reports make the progress record.
    (void)context;
}

void EngineVerification::OnFileOpened(const char* path, void* context) {
    (void)path;
    (void)context;
}
