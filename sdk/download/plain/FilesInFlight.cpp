#include "sdk/download/plain/FilesInFlight.h"

#include <string.h>

#include <new>

#include "opn/opeerqos/cpCSharedBudget.h"
#include "sdk/api/SwarmFetch.h"
#include "sdk/download/plain/CPlatformSession.h"
#include "sdk/support/ServiceLog.h"

namespace {

bool CanDownload(const DownloadEntry* entry) {
    return entry && !entry->urlList.IsEmpty() && !entry->folder.IsEmpty() &&
           !entry->fileName.IsEmpty();
}

}  // namespace

FilesInFlight::FilesInFlight() {}

FilesInFlight::~FilesInFlight() {
    if (m_destroyed)
        *m_destroyed = true;
    for (Lane& lane : m_lanes) {
        if (lane.session)
            lane.session->SetListener(nullptr, nullptr);
        delete lane.session;
        lane.session = nullptr;
    }
    delete[] m_files;
    delete[] m_known;
}

void FilesInFlight::SetListener(IPlatFormSessionEventListener* listener, void* context) {
    m_listener = listener;
    m_context = context;
}

void FilesInFlight::SetFullSpeed(int32_t flag) {
    m_full = flag ? 1 : 0;
    if (!m_budget.IsEmpty())
        m_budget.As<cpCSharedBudget>()->SetLimit(ReceiveBudget());
}

uint32_t FilesInFlight::ReceiveBudget() const {
    return m_full ? CPlatformSession::kFullSpeedBudget : CPlatformSession::kNormalSpeedBudget;
}

cpCSharedBudget* FilesInFlight::Budget() const {
    return m_budget.IsEmpty() ? nullptr : m_budget.As<cpCSharedBudget>();
}

void FilesInFlight::Start(CJob& job, const int64_t* knownSizes) {
    m_job = &job;
    m_count = job.EntryCount();
    m_failAt = m_count;
    if (m_count > 0) {
        m_files = new (std::nothrow) File[m_count];
        m_known = new (std::nothrow) int64_t[m_count];
    }
    cpCSharedBudget* budget = new (std::nothrow) cpCSharedBudget();
    if (budget) {
        m_budget = budget;
        budget->SetLimit(ReceiveBudget());
    }
    if ((m_count > 0 && (!m_files || !m_known)) || !budget) {
        m_ended = true;
        if (m_listener)
            m_listener->OnSessionFailed(m_context, "");
        return;
    }
    int32_t usable = 0;
    for (int32_t i = 0; i < m_count; ++i) {
        const DownloadEntry* entry = job.EntryAt(i);
        m_known[i] = knownSizes ? knownSizes[i] : (entry ? entry->size : -1);
        if (CanDownload(entry))
            ++usable;
    }
    if (usable == 0) {
        LogPrintf("[SwarmFetchLib] No File To Download : %d entries", (int)m_count);
        m_ended = true;
        if (m_listener)
            m_listener->OnSessionFailed(m_context, "");
        return;
    }
    Fill();
}

void FilesInFlight::Fill() {
    if (m_filling || m_ended)
        return;
    m_filling = true;
    bool destroyed = false;
    m_destroyed = &destroyed;
    while (m_running < kMaxFilesInFlight && m_nextStart < m_count && m_nextStart < m_failAt) {
        const int32_t position = m_nextStart++;
        File& file = m_files[position];
        if (!CanDownload(m_job->EntryAt(position))) {
            file.state = kSkipped;
            continue;
        }
        Lane* lane = nullptr;
        for (Lane& free : m_lanes) {
            if (!free.session) {
                lane = &free;
                break;
            }
        }
        CPlatformSession* session = lane ? new (std::nothrow) CPlatformSession() : nullptr;
        if (!session) {
            m_destroyed = nullptr;
            m_filling = false;
            FileFailed(nullptr, 0, "");
            // Fill runs inside no session's report here: the end may be told.
            if (m_nextReport >= m_failAt)
                Flush();
            return;
        }
        lane->session = session;
        lane->position = position;
        lane->stopped = false;
        file.state = kRunning;
        ++m_running;
        if (m_running > m_mostRunning)
            m_mostRunning = m_running;
        session->SetListener(this, lane);
        session->SetFullSpeed(m_full);
        session->SetConnectionPool(m_pool);
        session->SetSharedBudget(Budget());
        // May report its end inside, and that may end the job.
        session->Start(*m_job, m_known, position);
        if (destroyed)
            return;
        if (m_ended)
            break;
    }
    m_destroyed = nullptr;
    m_filling = false;
    if (!m_ended)
        Flush();
}

bool FilesInFlight::Flush() {
    while (m_nextReport < m_count && m_nextReport < m_failAt) {
        File& file = m_files[m_nextReport];
        if (file.state == kSkipped) {
            ++m_nextReport;
            continue;
        }
        if (file.state != kDone)
            break;
        file.state = kReported;
        ++m_nextReport;
        if (m_listener)
            m_listener->OnFileComplete(m_context, &file.entry);
    }
    if (m_ended)
        return false;
    if (m_nextReport == m_failAt && m_failAt < m_count) {
        // Every file before the failed one is reported: the job ends.
        Stop();
        if (m_listener) {
            if (m_failCode != 0)
                m_listener->OnSessionError(m_context, m_failCode, m_failUrl.CStr());
            else
                m_listener->OnSessionFailed(m_context, m_failUrl.CStr());
        }
        return false;
    }
    if (m_nextReport >= m_count && m_running == 0) {
        m_ended = true;
        if (m_listener)
            m_listener->OnAllFilesComplete(m_context);
        return false;
    }
    return true;
}

void FilesInFlight::StopLane(Lane& lane) {
    if (!lane.session || lane.stopped)
        return;
    lane.session->SetListener(nullptr, nullptr);
    lane.session->Stop();
    lane.stopped = true;
    --m_running;
}

void FilesInFlight::Stop() {
    m_ended = true;
    for (Lane& lane : m_lanes)
        StopLane(lane);
}

void FilesInFlight::Retire(Lane* lane) {
    m_doneTotal += lane->session->GetTotalBytes();
    m_donePresent += lane->session->GetPresentBytes();
    // Deleting a session inside its terminal report is allowed.
    delete lane->session;
    lane->session = nullptr;
    lane->position = -1;
    lane->stopped = false;
    --m_running;
}

void FilesInFlight::FileFailed(Lane* lane, int32_t code, const char* url) {
    const int32_t position = lane ? lane->position : m_nextStart - 1;
    // The URL is the session's: taken before it stops.
    if (position < m_failAt) {
        m_failAt = position;
        m_failCode = code;
        if (!m_failUrl.Assign(url ? url : ""))
            m_failUrl.Clear();
    }
    if (lane)
        StopLane(*lane);
    if (position > m_failAt)
        return;
    // Files after it are never reported: they stop now.
    for (Lane& other : m_lanes) {
        if (other.session && other.position > position)
            StopLane(other);
    }
}

void FilesInFlight::OnFileComplete(void* context, const DownloadEntry* entry) {
    Lane* lane = static_cast<Lane*>(context);
    if (!lane || !entry || lane->position < 0)
        return;
    File& file = m_files[lane->position];
    // Reported in order once the files before it are; its terminal report
    // follows at once.
    file.entry = *entry;
    file.state = kDone;
}

void FilesInFlight::OnAllFilesComplete(void* context) {
    Lane* lane = static_cast<Lane*>(context);
    if (!lane || !lane->session)
        return;
    const int32_t position = lane->position;
    Retire(lane);
    if (position >= 0 && m_files[position].state != kDone)
        m_files[position].state = kSkipped;
    if (!Flush())
        return;
    Fill();
}

void FilesInFlight::OnSessionFailed(void* context, const char* url) {
    FileFailed(static_cast<Lane*>(context), 0, url);
    if (!Flush())
        return;
    Fill();
}

void FilesInFlight::OnSessionError(void* context, int32_t code, const char* url) {
    if (code != SF_MSG_DISK_FULL) {
        if (m_listener)
            m_listener->OnSessionError(m_context, code, url);
        return;
    }
    FileFailed(static_cast<Lane*>(context), code, url);
    if (!Flush())
        return;
    Fill();
}

void FilesInFlight::OnProgress(void* context) {
    (void)context;
    if (m_listener)
        m_listener->OnProgress(m_context);
}

void FilesInFlight::OnFileOpened(const char* path, void* context) {
    (void)context;
    if (m_listener)
        m_listener->OnFileOpened(path, m_context);
}

int64_t FilesInFlight::GetTotalBytes() const {
    int64_t total = m_doneTotal;
    for (const Lane& lane : m_lanes) {
        if (lane.session)
            total += lane.session->GetTotalBytes();
    }
    return total;
}

int64_t FilesInFlight::GetPresentBytes() const {
    int64_t present = m_donePresent;
    for (const Lane& lane : m_lanes) {
        if (lane.session)
            present += lane.session->GetPresentBytes();
    }
    return present;
}

const DownloadEntry* FilesInFlight::CurrentEntry() const {
    const DownloadEntry* first = nullptr;
    int32_t firstPosition = m_count;
    for (const Lane& lane : m_lanes) {
        if (!lane.session || lane.stopped || lane.position >= firstPosition)
            continue;
        const DownloadEntry* entry = lane.session->CurrentEntry();
        if (entry) {
            first = entry;
            firstPosition = lane.position;
        }
    }
    return first;
}

ovIQoSContext* FilesInFlight::Connection() const {
    for (const Lane& lane : m_lanes) {
        ovIQoSContext* connection = lane.session ? lane.session->Connection() : nullptr;
        if (connection)
            return connection;
    }
    return nullptr;
}

int32_t FilesInFlight::GetReport(FileReportEntry* out, int32_t capacity) const {
    int32_t count = 0;
    for (int32_t i = 0; i < m_count && m_files; ++i) {
        const DownloadEntry* entry = nullptr;
        if (m_files[i].state == kDone || m_files[i].state == kReported) {
            entry = &m_files[i].entry;
        } else {
            for (const Lane& lane : m_lanes) {
                if (lane.session && lane.position == i)
                    entry = lane.session->EntryAt(0);
            }
        }
        if (!entry || entry->received <= 0)
            continue;
        if (out && count < capacity)
            out[count].Fill(entry->tag, entry->urlList.CStr(), entry->urlList.Length(),
                            entry->received);
        ++count;
    }
    return count;
}
