// The stand-in download engine: listens on 127.0.0.1, takes the library's
// requests from any number of connections, downloads each job's files one
// after the other and reports as the library expects (see ldDownload.cpp for
// the whole contract and the behaviours). Everything runs on the library
// thread: the sockets of the protocol report to a message window of the
// engine, the downloads use the library's HTTP stack.
#pragma once

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "opn/opeerqos/nwEngineMessages.h"
#include "opn/platform/pfMessageLoop.h"
#include "tools/engine/EngineBehaviour.h"
#include "tools/engine/FileFetch.h"
#include "tools/engine/PeerSession.h"

struct SockRecord;

class StandInEngine {
  public:
    static constexpr const char* kQuitParameter = "SF_ENGINE_QUIT";
    static constexpr uint32_t kMaxFramePayload = 1 << 20;
    static constexpr uint32_t kMaxJobEntries = 100000;
    // Jobs one connection may have half sent (begun, not ended) at once.
    static constexpr size_t kMaxPendingJobs = 16;

    struct Settings {
        uint16_t port = 57006;
        uint32_t idleExitMs = 30000;
        std::string behaviourText;  // SF_ENGINE_BEHAVIOUR
        std::string controlFile;    // SF_ENGINE_CONTROL: read again for every job
        PeerSession::Settings peers;
    };

    explicit StandInEngine(const Settings& settings);
    ~StandInEngine();
    StandInEngine(const StandInEngine&) = delete;
    StandInEngine& operator=(const StandInEngine&) = delete;

    // Opens the listening socket; false when the port cannot be had.
    bool Start();
    // Work of every timer turn: progress once a second, timed drops, the
    // idle exit, freeing what ended.
    void Tick();
    // True once the engine should exit (quit request, idle too long).
    bool Finished() const { return m_finished; }
    const EngineBehaviour& Behaviour() const { return m_behaviour; }
    // The swarm session, started with the first file that names a torrent.
    PeerSession* Peers();

  private:
    struct Client {
        uint32_t id;
        SockRecord* socket;
        std::string in;
        std::string out;
        uint64_t acceptedAt;
        bool closeWhenSent = false;
        bool dead = false;
    };
    // One file of a job as the library named it.
    struct File {
        std::string folder;
        std::string name;
        std::string url;
        int64_t expectedSize = -1;
        bool present = false;
    };
    class Job;
    friend class Job;

    static intptr_t WindowProc(PfWindowHandle window, uint32_t message, uintptr_t wparam,
                               intptr_t lparam);
    void OnListenerEvent(uint32_t event);
    void OnClientEvent(uintptr_t socket, uint32_t event);
    Client* ClientBySocket(uintptr_t socket);
    Client* ClientById(uint32_t id);
    void ReadFrom(Client& client);
    void Flush(Client& client);
    void CloseClient(Client& client);
    // Takes every whole frame from the client's input; false on bad bytes.
    bool TakeFrames(Client& client);
    bool Handle(Client& client, const nwEngineRequest& request);
    void RegisterJob(Client& client, uint32_t number, std::vector<File>& files);
    void SendJobFailed(uint32_t clientId, uint32_t number, const std::string& text);
    void SendDiskFull(uint32_t clientId, uint32_t number, uint32_t engineId);
    void Send(uint32_t clientId, uint16_t message, const uint8_t* payload, int32_t size);
    void RefreshBehaviour();
    Job* FindJob(uint32_t clientId, uint32_t number);

    Settings m_settings;
    EngineBehaviour m_behaviour;
    PfWindowHandle m_window = nullptr;
    SockRecord* m_listener = nullptr;
    std::map<uint32_t, std::unique_ptr<Client>> m_clients;
    std::unique_ptr<PeerSession> m_peers;
    std::vector<std::unique_ptr<Job>> m_jobs;
    // Jobs still being sent as begin, entries and end, by connection and
    // job number.
    struct Pending {
        std::vector<File> files;
    };
    std::map<std::pair<uint32_t, uint32_t>, Pending> m_pending;
    uint32_t m_nextClientId = 1;
    uint32_t m_nextEngineJobId = 1;
    uint64_t m_idleSince;
    uint64_t m_lastProgress;
    bool m_finished = false;
};
