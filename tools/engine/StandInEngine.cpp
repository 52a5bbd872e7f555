#include "tools/engine/StandInEngine.h"

#include <stdio.h>
#include <string.h>

#include "opn/opeerqos/nwFrame.h"
#include "opn/platform/pfClock.h"
#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "opn/platform/pfSocket.h"
#include "sdk/download/MirrorList.h"
#include "sdk/support/ExpectedContent.h"
#include "tools/engine/EngineLog.h"
#include "tools/engine/PeerSession.h"
#include "tools/engine/TorrentCheck.h"

namespace {

// Window messages of the engine's own sockets.
const uint32_t kListenerMessage = PF_WM_USER + 200;
const uint32_t kClientMessage = PF_WM_USER + 201;

StandInEngine* g_engine = nullptr;

std::string ReadWholeFile(const std::string& path) {
    std::string text;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0 && text.size() < 65536)
        text.append(buffer, n);
    fclose(file);
    return text;
}

std::string WithoutFragment(const char* url) {
    return std::string(url, UrlLengthWithoutFragment(url, strlen(url)));
}

std::string WithSeparator(const std::string& folder) {
    if (folder.empty() || folder.back() == '\\' || folder.back() == '/')
        return folder;
    return folder + "\\";
}

}  // namespace

// One registered job: sizes measured, then the files downloaded in order.
class StandInEngine::Job : public FileFetchListener {
  public:
    enum State { kMeasuring, kAsking, kFetchingTorrent, kPeer, kDownloading, kHalted, kEnded };

    Job(StandInEngine* engine, uint32_t clientId, uint32_t number, uint32_t engineId,
        std::vector<File>& files)
        : m_engine(engine),
          m_clientId(clientId),
          m_number(number),
          m_engineId(engineId),
          m_fetch(this) {
        m_files.swap(files);
        m_sizes.assign(m_files.size(), -1);
    }

    uint32_t ClientId() const { return m_clientId; }
    uint32_t Number() const { return m_number; }
    uint32_t EngineId() const { return m_engineId; }
    bool Ended() const { return m_state == kEnded; }
    void End() { m_state = kEnded; }

    void Begin() {
        for (size_t i = 0; i < m_files.size(); ++i)
            m_sizes[i] = m_files[i].expectedSize;
        m_state = kMeasuring;
        m_startedAt = ClockUnixSeconds();
        MeasureNext();
    }

    void OnResumeReply(bool resume, bool applyToAll) {
        if (m_state != kAsking)
            return;
        if (applyToAll)
            m_answerForAll = resume ? 1 : 0;
        StartFile(resume ? m_existing : 0);
    }

    // A file coming from the swarm: its progress, its end, or the HTTP
    // path when libtorrent gave up on it.
    void PollPeer() {
        if (m_state != kPeer)
            return;
        const PeerSession::State state = m_engine->Peers()->Get(m_peerKey);
        if (!state.error.empty()) {
            EngineLog("%s: peer download failed (%s); fetched over HTTP",
                      m_files[m_current].name.c_str(), state.error.c_str());
            m_engine->Peers()->Remove(m_peerKey);
            StartFile(0);
            return;
        }
        m_fileDone = state.done;
        if (state.complete) {
            EngineLog("%s: %lld bytes from peers, %lld bytes from web seeds",
                      m_files[m_current].name.c_str(), (long long)state.fromPeers,
                      (long long)state.fromWebSeeds);
            m_state = kDownloading;
            OnFetchDone(state.total, false);
        }
    }

    // Message 5 for the running download.
    void SendProgress() {
        // Nothing moves while the library is asked about a file.
        if (m_state != kDownloading && m_state != kPeer && m_state != kFetchingTorrent)
            return;
        const uint32_t speed = (uint32_t)(m_fileDone - m_fileDoneAtLastReport);
        m_fileDoneAtLastReport = m_fileDone;
        nwEngineProgressBlock block;
        memset(&block, 0, sizeof block);
        block.jobNumber = m_number;
        block.engineJobId = m_engineId;
        block.counter = (uint32_t)m_files.size();
        block.entryIndex = (uint32_t)m_current;
        block.totalBytes = (uint64_t)m_total;
        block.bytesDone = (uint64_t)(m_doneBefore + m_fileDone);
        block.speed = speed;
        // Seconds since the job began: the library shows it as the time
        // the download has taken.
        block.timeStamp = (uint64_t)(ClockUnixSeconds() - m_startedAt);
        const File& file = m_files[m_current];
        const int64_t fileSize = m_sizes[m_current];
        const nwEngineEntryProgress report = {file.name.c_str(),
                                              (uint64_t)(fileSize > 0 ? fileSize : 0),
                                              (uint64_t)m_fileDone, speed, file.url.c_str()};
        const int32_t size = nwEngineProgressSize(&report, 1);
        std::vector<uint8_t> payload((size_t)size, 0);
        nwEngineWriteProgress(payload.data(), block, &report, 1);
        m_engine->Send(m_clientId, kEngineMsgProgress, payload.data(), size);
    }

    // Only the file's own bytes are progress, never its torrent's.
    void OnFetchProgress(int64_t bytes) override {
        if (m_state == kDownloading)
            m_fileDone += bytes;
    }

    // A torrent answer that takes too long sends the file over HTTP.
    void CheckTorrentDeadline() {
        if (m_state != kFetchingTorrent ||
            ClockTickMs() - m_torrentSince < (uint64_t)kTorrentFetchDeadlineSec * 1000)
            return;
        m_fetch.Stop();
        FsDeleteFile(TorrentFetchPath().c_str());
        Fallback("its torrent came too slowly");
    }

    void OnFetchDone(int64_t size, bool restarted) override {
        if (m_state == kEnded)
            return;
        if (m_state == kFetchingTorrent) {
            TorrentFetched();
            return;
        }
        if (m_state == kMeasuring) {
            m_sizes[m_current] = size;
            ++m_current;
            m_mirror = 0;
            MeasureNext();
            return;
        }
        if (m_state != kDownloading)
            return;
        (void)restarted;
        m_fileDone = size;
        const File& file = m_files[m_current];
        const std::string path = WithSeparator(file.folder) + file.name;
        const int32_t payloadSize = nwEngineFileDoneSize(file.url.c_str(), false);
        std::vector<uint8_t> payload((size_t)payloadSize, 0);
        nwEngineWriteFileDone(payload.data(), m_number, m_engineId, path.c_str(), nullptr,
                              file.url.c_str());
        m_engine->Send(m_clientId, kEngineMsgFileDone, payload.data(), payloadSize);
        ++m_filesDone;
        m_doneBefore += size;
        ++m_current;
        NextFile();
    }

    void OnFetchFailed(bool writeFailed) override {
        if (m_state == kEnded)
            return;
        const File& file = m_files[m_current];
        if (m_state == kFetchingTorrent) {
            FsDeleteFile(TorrentFetchPath().c_str());
            Fallback("its torrent could not be fetched");
            return;
        }
        if (writeFailed) {
            // Said as a full disk, then the job ends: nothing more can come.
            m_engine->SendDiskFull(m_clientId, m_number, m_engineId);
            m_engine->SendJobFailed(m_clientId, m_number,
                                    "Cannot write " + WithSeparator(file.folder) + file.name);
            m_state = kEnded;
            return;
        }
        // The next mirror of the file's URL list, if it has one.
        if (m_mirror + 1 < MirrorCount(file)) {
            ++m_mirror;
            if (m_state == kMeasuring)
                MeasureNext();
            else
                StartFile(0);
            return;
        }
        if (m_state == kMeasuring) {
            // The size stays unknown; the download finds out.
            ++m_current;
            m_mirror = 0;
            MeasureNext();
            return;
        }
        const std::string text = "Download failed: " + file.url;
        m_engine->SendJobFailed(m_clientId, m_number, text);
        m_state = kEnded;
    }

  private:
    // A file's URL text is one URL or mirrors separated by '|', tried in
    // order when one fails.
    int32_t MirrorCount(const File& file) const {
        MirrorList mirrors;
        mirrors.Load(file.url.c_str());
        return mirrors.Count();
    }
    std::string Mirror(const File& file) const {
        MirrorList mirrors;
        mirrors.Load(file.url.c_str());
        const char* url = mirrors.At(m_mirror);
        return url ? url : file.url;
    }

    void MeasureNext() {
        while (m_current < m_files.size() && m_sizes[m_current] >= 0)
            ++m_current;
        if (m_current < m_files.size()) {
            if (!m_fetch.Measure(Mirror(m_files[m_current])))
                OnFetchFailed(false);
            return;
        }
        m_total = 0;
        for (int64_t size : m_sizes)
            m_total += size > 0 ? size : 0;
        uint8_t accepted[kEngineJobAcceptedSize];
        nwEngineWriteJobAccepted(accepted, m_number, m_engineId, (uint32_t)m_files.size(),
                                 (uint64_t)m_total);
        m_engine->Send(m_clientId, kEngineMsgJobAccepted, accepted, sizeof accepted);
        if (m_engine->Behaviour().dropAfterAccept) {
            if (Client* client = m_engine->ClientById(m_clientId)) {
                client->closeWhenSent = true;
                m_engine->Flush(*client);
            }
            m_state = kEnded;
            return;
        }
        if (m_engine->Behaviour().diskFull) {
            m_engine->SendDiskFull(m_clientId, m_number, m_engineId);
            m_state = kHalted;
            return;
        }
        m_current = 0;
        NextFile();
    }

    // The info-hash the file's line vouches for, if any: `*size` bytes (32
    // for v2, 20 for v1).
    bool WantsTorrent(uint8_t btih[32], size_t* size) const {
        ExpectedContent content;
        if (!ReadUrlListContent(m_files[m_current].url.c_str(), &content) || !content.hasBtih)
            return false;
        memcpy(btih, content.btih, 32);
        *size = content.btihSize;
        return true;
    }
    std::string TorrentFetchPath() const {
        const File& file = m_files[m_current];
        return WithSeparator(file.folder) + file.name + ".torrent-fetch";
    }

    // "<URL>.torrent" of the first mirror, bounded in size.
    void FetchTorrent() {
        m_state = kFetchingTorrent;
        m_torrentSince = ClockTickMs();
        MirrorList mirrors;
        mirrors.Load(m_files[m_current].url.c_str());
        const char* first = mirrors.At(0);
        const std::string url = WithoutFragment(first ? first : "") + ".torrent";
        m_fetch.SetMaxBytes(kMaxTorrentBytes);
        const FileFetch::Start start = m_fetch.Download(url, TorrentFetchPath(), 0, 0);
        if (start != FileFetch::kStarted)
            Fallback("its torrent could not be fetched");
    }

    void TorrentFetched() {
        const File& file = m_files[m_current];
        const std::string fetched = TorrentFetchPath();
        std::string bytes;
        int32_t readError = 0;
        if (PfFile* in = PfFileOpenForReading(fetched.c_str(), &readError)) {
            char buffer[16384];
            int64_t n;
            while ((n = PfFileRead(in, buffer, sizeof buffer, &readError)) > 0 &&
                   (int64_t)bytes.size() <= kMaxTorrentBytes)
                bytes.append(buffer, (size_t)n);
            PfFileClose(in);
        }
        FsDeleteFile(fetched.c_str());
        uint8_t btih[32];
        size_t btihSize = 0;
        if (!WantsTorrent(btih, &btihSize)) {
            Fallback("its line names no torrent");
            return;
        }
        const TorrentVerdict verdict =
            CheckTorrent(bytes, btih, btihSize, file.name, m_sizes[m_current]);
        if (!verdict.usable) {
            Fallback(verdict.why);
            return;
        }
        std::vector<std::string> seeds;
        MirrorList mirrors;
        mirrors.Load(file.url.c_str());
        for (int32_t i = 0; i < mirrors.Count(); ++i)
            seeds.push_back(WithoutFragment(mirrors.At(i)));
        std::string error;
        m_peerKey = m_engine->Peers()->Add(bytes, file.folder, file.name, seeds, &error);
        if (m_peerKey.empty()) {
            Fallback("the swarm cannot take it (" + error + ")");
            return;
        }
        EngineLog("%s: from the swarm", file.name.c_str());
        m_state = kPeer;
        PollPeer();
    }

    void Fallback(const std::string& why) {
        EngineLog("%s: %s; fetched over HTTP", m_files[m_current].name.c_str(), why.c_str());
        PlainFile();
    }

    void NextFile() {
        m_mirror = 0;
        m_fileDone = 0;
        m_fileDoneAtLastReport = 0;
        if (m_current >= m_files.size()) {
            uint8_t finished[kEngineJobFinishedSize];
            nwEngineWriteJobFinished(finished, m_number, m_engineId, 0, m_filesDone, 0);
            m_engine->Send(m_clientId, kEngineMsgJobFinished, finished, sizeof finished);
            m_state = kEnded;
            return;
        }
        FsCreateFolders(WithSeparator(m_files[m_current].folder).c_str());
        ExpectedContent content;
        if (!ReadUrlListContent(m_files[m_current].url.c_str(), &content)) {
            // The library refuses such a line; here it names no torrent.
            Fallback("its line's fragment is unreadable");
            return;
        }
        if (content.hasBtih) {
            FetchTorrent();
            return;
        }
        PlainFile();
    }

    void PlainFile() {
        const File& file = m_files[m_current];
        const std::string path = WithSeparator(file.folder) + file.name;
        // A link or a file with more names counts as none: it is replaced.
        const int64_t existing = PfFileSoleSize(path.c_str());
        const int64_t size = m_sizes[m_current];
        // A file already whole at its known size is kept, as an engine keeps
        // what it has: reported done without a request.
        if (size > 0 && existing == size) {
            m_state = kDownloading;
            OnFetchDone(size, false);
            return;
        }
        // A file that is there in part: resume or start over, as the
        // library answers.
        if (existing > 0 && (size < 0 || existing < size)) {
            m_existing = existing;
            if (m_answerForAll >= 0) {
                StartFile(m_answerForAll ? existing : 0);
                return;
            }
            m_state = kAsking;
            uint8_t question[kEngineResumeQuestionSize];
            nwEngineWriteU32(question, m_number);
            m_engine->Send(m_clientId, kEngineMsgResumeQuestion, question, sizeof question);
            return;
        }
        StartFile(0);
    }

    void StartFile(int64_t offset) {
        m_state = kDownloading;
        const File& file = m_files[m_current];
        m_fileDone = offset;
        m_fileDoneAtLastReport = offset;
        const std::string path = WithSeparator(file.folder) + file.name;
        m_fetch.SetMaxBytes(-1);
        const FileFetch::Start start =
            m_fetch.Download(Mirror(file), path, offset, m_engine->Behaviour().rate);
        if (start != FileFetch::kStarted)
            OnFetchFailed(start == FileFetch::kCannotWrite);
    }

    StandInEngine* m_engine;
    uint32_t m_clientId;
    uint32_t m_number;
    uint32_t m_engineId;
    FileFetch m_fetch;
    int32_t m_mirror = 0;  // of the current file
    std::vector<File> m_files;
    std::vector<int64_t> m_sizes;
    size_t m_current = 0;
    State m_state = kMeasuring;
    int64_t m_total = 0;
    int64_t m_doneBefore = 0;
    int64_t m_startedAt = 0;
    int64_t m_fileDone = 0;
    int64_t m_fileDoneAtLastReport = 0;
    int64_t m_existing = 0;
    uint32_t m_filesDone = 0;
    int32_t m_answerForAll = -1;
    std::string m_peerKey;        // the current file's torrent in the session
    uint64_t m_torrentSince = 0;  // when its fetch began
};

StandInEngine::StandInEngine(const Settings& settings) : m_settings(settings) {
    m_idleSince = ClockTickMs();
    m_lastProgress = m_idleSince;
    RefreshBehaviour();
}

PeerSession* StandInEngine::Peers() {
    if (!m_peers)
        m_peers.reset(new PeerSession(m_settings.peers));
    return m_peers.get();
}

StandInEngine::~StandInEngine() {
    m_jobs.clear();
    m_peers.reset();
    for (auto& entry : m_clients)
        CloseClient(*entry.second);
    m_clients.clear();
    if (m_listener) {
        PfSocketSelect(m_listener->handle, m_window, kListenerMessage, 0);
        SockClose(m_listener);
    }
    if (m_window)
        PfDestroyMessageWindow(m_window);
    g_engine = nullptr;
}

void StandInEngine::RefreshBehaviour() {
    std::string text = m_settings.behaviourText;
    if (!m_settings.controlFile.empty()) {
        const std::string control = ReadWholeFile(m_settings.controlFile);
        if (!control.empty())
            text = control;
    }
    std::string error;
    m_behaviour = EngineBehaviour::Parse(text, &error);
    if (!error.empty())
        fprintf(stderr, "ldDownload: unknown behaviour: %s\n", error.c_str());
}

bool StandInEngine::Start() {
    g_engine = this;
    m_window = PfCreateMessageWindow("SfStandInEngine", &StandInEngine::WindowProc);
    if (!m_window || OV_FAILED(SockCreate(&m_listener, kSockKindTcp)))
        return false;
    NetAddress at = {0, m_settings.port};
    if (OV_FAILED(ResolveFirst("127.0.0.1", &at.address)) || OV_FAILED(SockBind(m_listener, &at)) ||
        OV_FAILED(SockListen(m_listener)))
        return false;
    // Without accepting, the connections wait in the backlog unanswered.
    if (!m_behaviour.noAccept &&
        OV_FAILED(PfSocketSelect(m_listener->handle, m_window, kListenerMessage, PF_FD_ACCEPT)))
        return false;
    return true;
}

intptr_t StandInEngine::WindowProc(PfWindowHandle window, uint32_t message, uintptr_t wparam,
                                   intptr_t lparam) {
    if (!g_engine)
        return PfDefWindowProc(window, message, wparam, lparam);
    if (message == kListenerMessage) {
        g_engine->OnListenerEvent(PF_SELECT_EVENT(lparam));
        return 0;
    }
    if (message == kClientMessage) {
        g_engine->OnClientEvent(wparam, PF_SELECT_EVENT(lparam));
        return 0;
    }
    return PfDefWindowProc(window, message, wparam, lparam);
}

void StandInEngine::OnListenerEvent(uint32_t event) {
    if (event != PF_FD_ACCEPT)
        return;
    SockRecord* socket = nullptr;
    if (OV_FAILED(SockAccept(m_listener, nullptr, &socket))) {
        if (socket)
            SockClose(socket);
        return;
    }
    SockSetBlocking(socket, 0);
    std::unique_ptr<Client> client(new Client());
    client->id = m_nextClientId++;
    client->socket = socket;
    client->acceptedAt = ClockTickMs();
    if (OV_FAILED(PfSocketSelect(socket->handle, m_window, kClientMessage,
                                 PF_FD_READ | PF_FD_WRITE | PF_FD_CLOSE))) {
        SockClose(socket);
        return;
    }
    m_clients[client->id] = std::move(client);
}

StandInEngine::Client* StandInEngine::ClientBySocket(uintptr_t socket) {
    for (auto& entry : m_clients)
        if (!entry.second->dead && entry.second->socket->handle == (PfSocketHandle)socket)
            return entry.second.get();
    return nullptr;
}

StandInEngine::Client* StandInEngine::ClientById(uint32_t id) {
    auto found = m_clients.find(id);
    return found == m_clients.end() || found->second->dead ? nullptr : found->second.get();
}

void StandInEngine::OnClientEvent(uintptr_t socket, uint32_t event) {
    Client* client = ClientBySocket(socket);
    if (!client)
        return;
    if (event == PF_FD_WRITE) {
        Flush(*client);
        return;
    }
    // A close comes after the bytes before it: read them first.
    ReadFrom(*client);
    if (!client->dead && event == PF_FD_CLOSE)
        CloseClient(*client);
}

void StandInEngine::ReadFrom(Client& client) {
    uint8_t buffer[16384];
    for (int32_t turns = 0; turns < 64 && !client.dead; ++turns) {
        int32_t received = 0;
        const ResultCode rc = SockRecv(client.socket, buffer, sizeof buffer, &received);
        if (rc == OV_E_WOULD_BLOCK)
            return;
        if (OV_FAILED(rc) || received <= 0) {
            CloseClient(client);
            return;
        }
        client.in.append(reinterpret_cast<const char*>(buffer), (size_t)received);
        if (!TakeFrames(client)) {
            fprintf(stderr, "ldDownload: malformed request, connection %u closed\n",
                    (unsigned)client.id);
            CloseClient(client);
            return;
        }
    }
}

bool StandInEngine::TakeFrames(Client& client) {
    while (client.in.size() >= (size_t)kFrameHeaderSize && !client.dead) {
        const uint8_t* at = reinterpret_cast<const uint8_t*>(client.in.data());
        const nwFrameHeader header = nwReadFrameHeader(at);
        if (header.payloadLength > kMaxFramePayload ||
            (kFrameHeaderSize + header.payloadLength) % kFrameAlignment != 0)
            return false;
        const size_t whole = kFrameHeaderSize + (size_t)header.payloadLength;
        if (client.in.size() < whole)
            return true;
        nwEngineRequest request;
        const nwEngineDecodeResult result =
            nwEngineDecodeRequest(header.category, header.message, at + kFrameHeaderSize,
                                  (int32_t)header.payloadLength, &request);
        if (result != kEngineDecodeOk)
            return false;
        const bool ok = Handle(client, request);
        nwEngineFreeRequest(&request);
        if (!ok)
            return false;
        client.in.erase(0, whole);
    }
    return true;
}

StandInEngine::Job* StandInEngine::FindJob(uint32_t clientId, uint32_t number) {
    for (auto& job : m_jobs)
        if (!job->Ended() && job->ClientId() == clientId && job->Number() == number)
            return job.get();
    return nullptr;
}

bool StandInEngine::Handle(Client& client, const nwEngineRequest& request) {
    switch (request.message) {
        case kEngineMsgParameter:
            if (strcmp(request.text, kQuitParameter) == 0)
                m_finished = true;
            return true;
        case kEngineMsgHello: {
            uint8_t state[kEngineStateSize];
            nwEngineWriteU32(state, 1);
            Send(client.id, kEngineMsgEngineState, state, sizeof state);
            return true;
        }
        case kEngineMsgJobMode:
        case kEngineMsgServiceCode:
        case kEngineMsgJobOption:
        case kEngineMsgJobFlag:
            return true;
        case kEngineMsgCancel:
            if (Job* job = FindJob(client.id, request.jobNumber))
                job->End();
            m_pending.erase(std::make_pair(client.id, request.jobNumber));
            return true;
        case kEngineMsgResumeReply:
            if (Job* job = FindJob(client.id, request.jobNumber))
                job->OnResumeReply(request.resume != 0, request.applyToAll != 0);
            return true;
        case kEngineMsgJob: {
            std::vector<File> files(request.entryCount);
            for (uint32_t i = 0; i < request.entryCount; ++i) {
                const nwEngineRequestEntry& e = request.entries[i];
                files[i] = {e.folder, e.fileName, e.url, e.expectedSize, true};
            }
            RegisterJob(client, request.jobNumber, files);
            return true;
        }
        case kEngineMsgJobBegin: {
            size_t open = 0;
            for (const auto& entry : m_pending)
                open += entry.first.first == client.id;
            if (request.entryCount > kMaxJobEntries || open >= kMaxPendingJobs)
                return false;
            Pending& pending = m_pending[std::make_pair(client.id, request.jobNumber)];
            pending.files.assign(request.entryCount, File());
            return true;
        }
        case kEngineMsgJobEntry: {
            auto found = m_pending.find(std::make_pair(client.id, request.jobNumber));
            const nwEngineRequestEntry& e = request.entries[0];
            // An entry outside its job, or sent twice, is a broken request.
            if (found == m_pending.end() || e.index >= found->second.files.size() ||
                found->second.files[e.index].present)
                return false;
            found->second.files[e.index] = {e.folder, e.fileName, e.url, e.expectedSize, true};
            return true;
        }
        case kEngineMsgJobEnd: {
            auto found = m_pending.find(std::make_pair(client.id, request.jobNumber));
            if (found == m_pending.end())
                return false;
            for (const File& file : found->second.files)
                if (!file.present)
                    return false;
            Pending pending = std::move(found->second);
            m_pending.erase(found);
            RegisterJob(client, request.jobNumber, pending.files);
            return true;
        }
        default:
            return false;
    }
}

void StandInEngine::RegisterJob(Client& client, uint32_t number, std::vector<File>& files) {
    RefreshBehaviour();
    const uint32_t engineId = m_nextEngineJobId++;
    if (m_behaviour.giveUp) {
        uint8_t finished[kEngineJobFinishedSize];
        nwEngineWriteJobFinished(finished, number, engineId, 0, 0, 1);
        Send(client.id, kEngineMsgJobFinished, finished, sizeof finished);
        return;
    }
    if (m_behaviour.fail) {
        SendJobFailed(client.id, number, m_behaviour.failText);
        return;
    }
    if (Job* old = FindJob(client.id, number))
        old->End();
    m_jobs.emplace_back(new Job(this, client.id, number, engineId, files));
    m_jobs.back()->Begin();
}

void StandInEngine::SendJobFailed(uint32_t clientId, uint32_t number, const std::string& text) {
    const int32_t size = nwEngineTextReportSize(text.c_str());
    std::vector<uint8_t> payload((size_t)size, 0);
    nwEngineWriteJobFailed(payload.data(), number, 0, text.c_str());
    Send(clientId, kEngineMsgJobFailed, payload.data(), size);
}

void StandInEngine::SendDiskFull(uint32_t clientId, uint32_t number, uint32_t engineId) {
    const char* text = "Not enough disk space";
    const int32_t size = nwEngineTextReportSize(text) + 1;
    std::vector<uint8_t> payload((size_t)size, 0);
    nwEngineWriteDiskReport(payload.data(), number, engineId, 1, text);
    Send(clientId, kEngineMsgDiskReport, payload.data(), size);
}

void StandInEngine::Send(uint32_t clientId, uint16_t message, const uint8_t* payload,
                         int32_t size) {
    Client* client = ClientById(clientId);
    if (!client)
        return;
    const int32_t padded = nwFramePaddedPayload(size);
    std::string frame((size_t)(kFrameHeaderSize + padded), '\0');
    uint8_t* at = reinterpret_cast<uint8_t*>(&frame[0]);
    nwWriteFrameHeader(at, kFrameCategoryEngine, message, (uint32_t)padded);
    if (size > 0)
        memcpy(at + kFrameHeaderSize, payload, (size_t)size);
    client->out += frame;
    Flush(*client);
}

void StandInEngine::Flush(Client& client) {
    while (!client.dead && !client.out.empty()) {
        int32_t sent = 0;
        const ResultCode rc =
            SockSend(client.socket, client.out.data(), (int32_t)client.out.size(), &sent);
        if (rc == OV_E_WOULD_BLOCK)
            return;
        if (OV_FAILED(rc) || sent <= 0) {
            CloseClient(client);
            return;
        }
        client.out.erase(0, (size_t)sent);
    }
    if (!client.dead && client.closeWhenSent)
        CloseClient(client);
}

void StandInEngine::CloseClient(Client& client) {
    if (client.dead)
        return;
    client.dead = true;
    PfSocketSelect(client.socket->handle, m_window, kClientMessage, 0);
    SockClose(client.socket);
    client.socket = nullptr;
    for (auto& job : m_jobs)
        if (job->ClientId() == client.id)
            job->End();
    for (auto it = m_pending.begin(); it != m_pending.end();)
        it = it->first.first == client.id ? m_pending.erase(it) : std::next(it);
}

void StandInEngine::Tick() {
    const uint64_t now = ClockTickMs();
    if (m_behaviour.dropAfterMs >= 0)
        for (auto& entry : m_clients)
            if (!entry.second->dead &&
                now - entry.second->acceptedAt >= (uint64_t)m_behaviour.dropAfterMs)
                CloseClient(*entry.second);
    if (now - m_lastProgress >= 1000) {
        m_lastProgress = now;
        for (auto& job : m_jobs)
            if (!job->Ended()) {
                job->CheckTorrentDeadline();
                job->SendProgress();
            }
    }
    if (m_peers) {
        m_peers->Poll();
        for (auto& job : m_jobs)
            if (!job->Ended())
                job->PollPeer();
    }
    for (size_t i = 0; i < m_jobs.size();) {
        if (m_jobs[i]->Ended())
            m_jobs.erase(m_jobs.begin() + (ptrdiff_t)i);
        else
            ++i;
    }
    for (auto it = m_clients.begin(); it != m_clients.end();)
        it = it->second->dead ? m_clients.erase(it) : std::next(it);
    if (!m_clients.empty())
        m_idleSince = now;
    else if (now - m_idleSince >= m_settings.idleExitMs)
        m_finished = true;
}
