// The engine's one BitTorrent session (libtorrent): files whose list line
// names a torrent are fetched from the swarm and the publisher's servers as
// web seeds, and seeded while the engine runs. Local service discovery on,
// DHT off; uploads capped and connections bounded; resume data kept in a
// state folder so a restart does not fetch again what it holds.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

class PeerSession {
  public:
    struct Settings {
        std::string listen = "0.0.0.0:6881";  // libtorrent listen_interfaces
        std::string stateFolder;              // resume data; none kept when empty
        int32_t uploadCap = 1024 * 1024;      // bytes per second, 0 unlimited
        int32_t connections = 50;
    };
    // What one torrent has come to.
    struct State {
        int64_t done = 0;       // bytes checked and written
        int64_t total = 0;      // the file's size
        int32_t rate = 0;       // download bytes per second
        bool complete = false;  // every piece checked, the file whole
        std::string error;      // libtorrent gave up on it
        // Where the blocks of this run came from: other players, or the
        // web seeds (the publisher's servers).
        int64_t fromPeers = 0;
        int64_t fromWebSeeds = 0;
    };

    explicit PeerSession(const Settings& settings);
    ~PeerSession();
    PeerSession(const PeerSession&) = delete;
    PeerSession& operator=(const PeerSession&) = delete;

    // Adds a torrent (its bytes, as CheckTorrent passed them) for the file
    // `folder`\`name` (both as the engine has them: Windows form, ANSI code
    // page); the web seeds replace the torrent's own. The same torrent again
    // is the same download. Returns the key for Get(); empty, with
    // `*error`, when it cannot be added.
    std::string Add(const std::string& torrent, const std::string& folder, const std::string& name,
                    const std::vector<std::string>& webSeeds, std::string* error);
    State Get(const std::string& key) const;
    // Takes the session's news: errors, finished torrents, resume data.
    void Poll();
    // Stops taking part in the swarm for `key` (the file stays).
    void Remove(const std::string& key);

  private:
    // libtorrent stays inside PeerSession.cpp.
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
