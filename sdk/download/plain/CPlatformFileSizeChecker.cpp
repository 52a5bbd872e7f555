#include "sdk/download/plain/CPlatformFileSizeChecker.h"

#include <string.h>

#include <new>

#include "sdk/download/CJob.h"
#include "sdk/download/ByteCount.h"
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

int64_t CPlatformFileSizeChecker::CheckedSize(int32_t index) const {
    for (int32_t i = 0; i < m_checkCount; ++i) {
        if (m_toCheck[i].index == index)
            return m_toCheck[i].size;
    }
    return -1;
}

void CPlatformFileSizeChecker::StartSessions() {
    while (!m_ended && m_nextIndex < m_checkCount && m_running.Count() < kMaxSessions) {
        CPlatformFileSizeCheckSession* session = new (std::nothrow) CPlatformFileSizeCheckSession;
        DownloadEntry* entry = &m_toCheck[m_nextIndex];
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
