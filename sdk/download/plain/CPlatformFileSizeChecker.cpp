#include "sdk/download/plain/CPlatformFileSizeChecker.h"

#include <string.h>

#include <new>

#include "opn/core/ovCString.h"
#include "opn/platform/pfFile.h"
#include "opn/platform/pfVolume.h"
#include "sdk/download/CJob.h"
#include "sdk/download/ByteCount.h"
#include "sdk/download/MirrorList.h"
#include "sdk/download/SizeMemory.h"
#include "sdk/download/plain/CPlatformFileSizeCheckSession.h"

CPlatformFileSizeChecker::CPlatformFileSizeChecker() {}

CPlatformFileSizeChecker::~CPlatformFileSizeChecker() {
    if (m_destroyed)
        *m_destroyed = true;
    for (void* session = m_running.GetHead(); session; session = m_running.GetHead()) {
        m_running.Remove(session);
        delete static_cast<CPlatformFileSizeCheckSession*>(session);
    }
    delete[] m_toCheck;
}

void CPlatformFileSizeChecker::SetListener(ICheckerEventListener* listener, void* context) {
    m_listener = listener;
    m_context = context;
}

void CPlatformFileSizeChecker::Start(CJob& job) {
    m_knownSize = 0;
    m_knownPresent = 0;
    m_knownCount = 0;
    int32_t unknown = 0;
    for (int32_t i = 0; i < job.EntryCount(); ++i) {
        const DownloadEntry* entry = job.EntryAt(i);
        if (entry && entry->size == -1)
            ++unknown;
    }
    if (unknown > 0) {
        m_toCheck = new (std::nothrow) DownloadEntry[unknown];
        if (!m_toCheck) {
            Fail(kCheckFailed, "");
            return;
        }
    }
    for (int32_t i = 0; i < job.EntryCount(); ++i) {
        const DownloadEntry* entry = job.EntryAt(i);
        if (!entry)
            continue;
        if (entry->size != -1) {
            if (!KnownSizeFits(*entry))
                return;
            m_knownSize = AddByteCount(m_knownSize, entry->size);
            m_knownPresent = AddByteCount(m_knownPresent, entry->received);
            ++m_knownCount;
            continue;
        }
        DownloadEntry& copy = m_toCheck[m_checkCount];
        copy.index = entry->index;
        memcpy(copy.tag, entry->tag, sizeof copy.tag);
        copy.size = entry->size;
        copy.received = entry->received;
        copy.value1 = entry->value1;
        copy.value2 = entry->value2;
        if (!copy.urlList.Assign(entry->urlList) || !copy.folder.Assign(entry->folder) ||
            !copy.fileName.Assign(entry->fileName)) {
            Fail(kCheckFailed, entry->urlList.CStr());
            return;
        }
        ++m_checkCount;
    }
    StartSessions();
}

namespace {

const int32_t kMessageNoSpace = 513;

// Bytes of the entry's file already on disk: its final file, or else its
// partial file, when no longer than `size` (only sole files; pfFile.h).
int64_t BytesOnDisk(const DownloadEntry& entry, int64_t size) {
    ovCString path;
    if (!path.Assign(entry.folder))
        return 0;
    const char last = path.IsEmpty() ? '\0' : path.CStr()[path.Length() - 1];
    if ((last != '\\' && last != '/' && !path.Append("\\")) || !path.Append(entry.fileName))
        return 0;
    const int64_t whole = PfFileSoleSize(path.CStr());
    if (whole >= 0 && whole <= size)
        return whole;
    const int64_t part = path.Append(kPartFileSuffix) ? PfFileSoleSize(path.CStr()) : -1;
    return part >= 0 && part <= size ? part : 0;
}

}  // namespace

bool CPlatformFileSizeChecker::KnownSizeFits(const DownloadEntry& entry) {
    if (entry.size <= 0)
        return true;
    const int64_t needed = entry.size - BytesOnDisk(entry, entry.size);
    if (needed <= 0)
        return true;
    // The rule of a checked size: the free space must exceed what the file
    // still needs; as there, unreadable free space counts as none.
    int64_t freeBytes = 0;
    if (!PfFreeDiskSpaceAt(entry.folder.CStr(), &freeBytes))
        freeBytes = 0;
    if (freeBytes > needed)
        return true;
    Fail(kMessageNoSpace, entry.urlList.CStr());
    return false;
}

int64_t CPlatformFileSizeChecker::CheckedSize(int32_t index) const {
    for (int32_t i = 0; i < m_checkCount; ++i) {
        if (m_toCheck[i].index == index)
            return m_toCheck[i].size;
    }
    return -1;
}

int32_t CPlatformFileSizeChecker::TakeRemembered(DownloadEntry* entry) {
    MirrorList mirrors;
    mirrors.Load(entry->urlList.CStr());
    const int64_t size = SizeMemory::Recall(mirrors.Count() > 0 ? mirrors.At(0) : nullptr);
    if (size < 0)
        return kNotRemembered;
    const int32_t code = CPlatformFileSizeCheckSession::JudgeSize(entry->folder.CStr(), size);
    if (code != 0) {
        Fail(code, entry->urlList.CStr());
        return kRememberedFailed;
    }
    entry->size = size;
    ++m_finished;
    return kRememberedTaken;
}

void CPlatformFileSizeChecker::StartSessions() {
    while (!m_ended && m_nextIndex < m_checkCount && m_running.Count() < kMaxSessions) {
        DownloadEntry* entry = &m_toCheck[m_nextIndex];
        // A size measured moments ago needs no request.
        const int32_t remembered = TakeRemembered(entry);
        if (remembered == kRememberedFailed)
            return;  // reported; the listener may have deleted the checker
        if (remembered == kRememberedTaken) {
            ++m_nextIndex;
            continue;
        }
        CPlatformFileSizeCheckSession* session = new (std::nothrow) CPlatformFileSizeCheckSession;
        if (!session || !m_running.AddTail(session)) {
            delete session;
            Fail(kCheckFailed, entry->urlList.CStr());
            return;
        }
        ++m_nextIndex;
        session->SetListener(this, session);
        session->SetConnectionPool(m_pool);
        bool destroyed = false;
        m_destroyed = &destroyed;
        session->Start(entry);
        if (destroyed)
            return;
        m_destroyed = nullptr;
    }
    if (m_finished == m_checkCount && !m_ended)
        Report();
}

void CPlatformFileSizeChecker::Report() {
    FileSizeCheckResult result;
    result.totalSize = m_knownSize;
    result.presentBytes = m_knownPresent;
    result.entryCount = m_checkCount + m_knownCount;
    for (int32_t i = 0; i < m_checkCount; ++i) {
        result.totalSize = AddByteCount(result.totalSize, m_toCheck[i].size);
        result.presentBytes = AddByteCount(result.presentBytes, m_toCheck[i].received);
    }
    m_ended = true;
    if (m_listener)
        m_listener->OnFileSizeCheckCompleted(m_context, result);
}

void CPlatformFileSizeChecker::Fail(int32_t code, const char* text) {
    m_ended = true;
    if (m_listener)
        m_listener->OnFileSizeCheckFailed(m_context, code, text ? text : "");
}

void CPlatformFileSizeChecker::OnSizeKnown(void* context) {
    CPlatformFileSizeCheckSession* session = static_cast<CPlatformFileSizeCheckSession*>(context);
    if (m_running.Remove(session))
        delete session;
    ++m_finished;
    StartSessions();
}

void CPlatformFileSizeChecker::OnSizeFailed(void* context, int32_t code, const char* text) {
    (void)context;
    if (m_ended)
        return;
    Fail(code, text);
}
