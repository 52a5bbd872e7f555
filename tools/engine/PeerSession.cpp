#include "tools/engine/PeerSession.h"

#include <exception>
#include <map>
#include <set>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/read_resume_data.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>
#include <libtorrent/write_resume_data.hpp>

#include "opn/core/ovCString.h"
#include "opn/platform/pfCodePage.h"
#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/support/HexBytes.h"
#include "tools/engine/EngineLog.h"
#ifndef _WIN32
#include "opn/platform/posix/pfPath.h"
#endif

namespace lt = libtorrent;

namespace {

// Resume data of one single-file torrent is small; more is not read.
const size_t kMaxResumeBytes = 4 * 1024 * 1024;
// How long the end waits for the last resume data.
const int kShutdownWaitMs = 5000;
// Blocks are this size but for a piece's last one.
const int kBlockBytes = 16 * 1024;
// One HTTP request of a web seed asks for at most this much (libtorrent
// asks for at least a piece). Its range is claimed until it arrives: a
// slow origin asking for the whole file at once leaves the peers that come
// later nothing but one block at a time of what it claimed.
const int kWebSeedRequestBytes = 1024 * 1024;
// Every received block is an alert while a file downloads: room for a few
// seconds of them at loopback speed between two polls.
const int kAlertQueueSize = 20000;

// The v2 hash in hex; a v1-only torrent's v1 hash.
std::string KeyOf(const lt::info_hash_t& hashes) {
    char hex[2 * lt::sha256_hash::size() + 1];
    if (hashes.has_v2())
        BytesToHex(hashes.v2.data(), hashes.v2.size(), hex);
    else
        BytesToHex(hashes.v1.data(), hashes.v1.size(), hex);
    return hex;
}

std::string WithSeparator(const std::string& folder) {
    if (folder.empty() || folder.back() == '\\' || folder.back() == '/')
        return folder;
    return folder + "/";
}

// The whole file when it holds at most kMaxResumeBytes; a link, FIFO or
// device there is not read (nor waited on).
bool ReadBounded(const std::string& path, std::vector<char>* bytes) {
    int32_t error = 0;
    PfFile* in = PfFileOpenNoLink(path.c_str(), &error);
    if (!in)
        return false;
    bytes->clear();
    char buffer[16384];
    int64_t n = 0;
    while (bytes->size() <= kMaxResumeBytes &&
           (n = PfFileRead(in, buffer, sizeof buffer, &error)) > 0)
        bytes->insert(bytes->end(), buffer, buffer + n);
    PfFileClose(in);
    return n >= 0 && bytes->size() <= kMaxResumeBytes;
}

struct Torrent {
    lt::torrent_handle handle;
    std::string path;  // the file's full path
    int64_t size = 0;
    int pieces = 0;
    bool finished = false;
    std::string error;
    std::shared_ptr<const lt::torrent_info> info;
    // Addresses the session showed as web seeds (at most one per URL).
    std::set<lt::tcp::endpoint> webSeeds;
    int64_t fromPeers = 0;
    int64_t fromWebSeeds = 0;
};

// A web seed speaks HTTP and never sends a peer id.
bool LooksLikeWebSeed(const Torrent& torrent, const lt::peer_alert& block) {
    return torrent.webSeeds.count(block.endpoint) > 0 || block.pid.is_all_zeros();
}

}  // namespace

struct PeerSession::Impl {
    explicit Impl(const Settings& settings);
    ~Impl();
    std::string ResumePath(const std::string& key) const;
    void SaveResume(const lt::add_torrent_params& params);
    Torrent* Find(const lt::torrent_handle& handle);

    Settings settings;
    std::unique_ptr<lt::session> session;
    std::map<std::string, std::unique_ptr<Torrent>> torrents;
};

PeerSession::Impl::Impl(const Settings& given) : settings(given) {
    lt::settings_pack pack;
    pack.set_str(lt::settings_pack::listen_interfaces, settings.listen);
    // Outgoing peer connections leave from the listening address.
    const size_t colon = settings.listen.rfind(':');
    const std::string address = settings.listen.substr(0, colon);
    if (address != "0.0.0.0" && address.find(',') == std::string::npos)
        pack.set_str(lt::settings_pack::outgoing_interfaces, address);
    pack.set_bool(lt::settings_pack::enable_lsd, true);
    pack.set_bool(lt::settings_pack::enable_dht, false);
    pack.set_bool(lt::settings_pack::enable_upnp, false);
    pack.set_bool(lt::settings_pack::enable_natpmp, false);
    // Our own connections are TCP: over uTP, whose delay-based back-off
    // yields to any other traffic, engines on one host or LAN moved a
    // fraction of the upload cap at twice the CPU. The cap already spares
    // the player's uplink; other clients' uTP is still taken.
    pack.set_bool(lt::settings_pack::enable_outgoing_utp, false);
    pack.set_int(lt::settings_pack::urlseed_max_request_bytes, kWebSeedRequestBytes);
    pack.set_int(lt::settings_pack::upload_rate_limit, settings.uploadCap);
    pack.set_int(lt::settings_pack::connections_limit, settings.connections);
    pack.set_int(lt::settings_pack::active_downloads, -1);
    pack.set_int(lt::settings_pack::active_seeds, -1);
    pack.set_int(lt::settings_pack::active_limit, -1);
    pack.set_int(lt::settings_pack::alert_queue_size, kAlertQueueSize);
    pack.set_int(lt::settings_pack::alert_mask,
                 lt::alert_category::error | lt::alert_category::status |
                     lt::alert_category::storage | lt::alert_category::peer |
                     lt::alert_category::block_progress);
    session.reset(new lt::session(pack));
    // Peers on the local network count against the caps like any other:
    // every address is in the global class alone.
    lt::ip_filter classes;
    classes.add_rule(lt::make_address("0.0.0.0"), lt::make_address("255.255.255.255"),
                     1u << static_cast<std::uint32_t>(lt::session::global_peer_class_id));
    classes.add_rule(lt::make_address("::"),
                     lt::make_address("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"),
                     1u << static_cast<std::uint32_t>(lt::session::global_peer_class_id));
    session->set_peer_class_filter(classes);
}

PeerSession::Impl::~Impl() {
    int waiting = 0;
    for (auto& entry : torrents) {
        if (!entry.second->handle.is_valid())
            continue;
        entry.second->handle.save_resume_data(lt::torrent_handle::flush_disk_cache |
                                              lt::torrent_handle::save_info_dict);
        ++waiting;
    }
    for (int turns = 0; waiting > 0 && turns < kShutdownWaitMs / 100; ++turns) {
        if (!session->wait_for_alert(lt::milliseconds(100)))
            continue;
        std::vector<lt::alert*> alerts;
        session->pop_alerts(&alerts);
        for (lt::alert* a : alerts) {
            if (auto* saved = lt::alert_cast<lt::save_resume_data_alert>(a)) {
                SaveResume(saved->params);
                --waiting;
            } else if (lt::alert_cast<lt::save_resume_data_failed_alert>(a)) {
                --waiting;
            }
        }
    }
}

std::string PeerSession::Impl::ResumePath(const std::string& key) const {
    return settings.stateFolder.empty() ? std::string()
                                        : WithSeparator(settings.stateFolder) + key + ".resume";
}

void PeerSession::Impl::SaveResume(const lt::add_torrent_params& params) {
    const std::string path = ResumePath(KeyOf(params.info_hashes));
    if (path.empty())
        return;
    FsCreateFolders(WithSeparator(settings.stateFolder).c_str());
    const std::vector<char> bytes = lt::write_resume_data_buf(params);
    // Written aside, then put in place: a crash leaves the old data whole.
    // A link at either name is replaced, never written through.
    const std::string temp = path + ".new";
    int32_t error = 0;
    PfFile* out = PfFileOpenSole(temp.c_str(), kPfSoleEmpty, &error);
    if (!out)
        return;
    const bool written = PfFileWrite(out, bytes.data(), bytes.size(), &error);
    PfFileClose(out);
    if (!written || !PfFileMoveReplacing(temp.c_str(), path.c_str(), &error))
        FsDeleteFile(temp.c_str());
}

Torrent* PeerSession::Impl::Find(const lt::torrent_handle& handle) {
    auto found = torrents.find(KeyOf(handle.info_hashes()));
    return found == torrents.end() ? nullptr : found->second.get();
}

PeerSession::PeerSession(const Settings& settings) : m_impl(new Impl(settings)) {}

PeerSession::~PeerSession() = default;

std::string PeerSession::Add(const std::string& bytes, const std::string& folder,
                             const std::string& name, const std::vector<std::string>& webSeeds,
                             std::string* error) {
    // libtorrent takes paths in the OS's form: POSIX, or UTF-8 on Windows.
    ovCString osFolder;
#ifdef _WIN32
    if (!OV_SUCCEEDED(AnsiToUtf8(ovCString(folder.c_str()), osFolder))) {
        *error = "folder name not convertible";
        return "";
    }
#else
    PathToPosix(folder.c_str(), osFolder);
#endif
    try {
        lt::error_code ec;
        auto info = std::make_shared<lt::torrent_info>(
            lt::span<const char>(bytes.data(), (std::ptrdiff_t)bytes.size()), ec, lt::from_span);
        if (ec) {
            *error = ec.message();
            return "";
        }
        const std::string key = KeyOf(info->info_hashes());
        const std::string path = WithSeparator(folder) + name;
        auto& torrents = m_impl->torrents;
        if (torrents.count(key) && torrents[key]->error.empty()) {
            if (torrents[key]->path == path)
                return key;
            // libtorrent holds one torrent once: its state says nothing of
            // a file in another folder.
            *error = "the swarm has it for another folder";
            return "";
        }
        torrents.erase(key);
        lt::add_torrent_params params;
        std::vector<char> resume;
        const std::string resumePath = m_impl->ResumePath(key);
        if (!resumePath.empty() && ReadBounded(resumePath, &resume)) {
            lt::add_torrent_params saved = lt::read_resume_data(
                lt::span<const char>(resume.data(), (std::ptrdiff_t)resume.size()), ec);
            // Only this torrent's progress is taken: whoever can write the
            // state folder must not name paths, seeds, peers or modes.
            if (!ec && saved.info_hashes == info->info_hashes()) {
                params.have_pieces = std::move(saved.have_pieces);
                params.unfinished_pieces = std::move(saved.unfinished_pieces);
                params.total_uploaded = saved.total_uploaded;
                params.total_downloaded = saved.total_downloaded;
            }
            ec.clear();
        }
        params.ti = info;
        params.save_path = osFolder.CStr();
        // The list's URLs are the web seeds, never what a torrent names: its
        // url-list lies outside the info the list vouches for.
        params.url_seeds.assign(webSeeds.begin(), webSeeds.end());
        params.flags |= lt::torrent_flags::override_web_seeds;
        params.flags &= ~lt::torrent_flags::auto_managed;
        params.flags &= ~lt::torrent_flags::paused;
        // libtorrent opens the file by its name and follows links: a link or
        // a file with more names there (the folder may be writable by
        // others) is replaced by a file of its own first.
        int32_t soleError = 0;
        PfFile* sole = PfFileOpenSole(path.c_str(), kPfSoleKeep, &soleError);
        if (!sole) {
            *error = "the file cannot be had";
            return "";
        }
        PfFileClose(sole);
        std::unique_ptr<Torrent> torrent(new Torrent());
        torrent->handle = m_impl->session->add_torrent(std::move(params), ec);
        if (ec) {
            *error = ec.message();
            return "";
        }
        torrent->handle.replace_trackers(info->trackers());
        torrent->path = path;
        torrent->size = info->total_size();
        torrent->pieces = info->num_pieces();
        torrent->info = info;
        torrents[key] = std::move(torrent);
        return key;
    } catch (const std::exception& e) {
        *error = e.what();
        return "";
    }
}

PeerSession::State PeerSession::Get(const std::string& key) const {
    State state;
    auto found = m_impl->torrents.find(key);
    if (found == m_impl->torrents.end()) {
        state.error = "not in the session";
        return state;
    }
    const Torrent& torrent = *found->second;
    state.total = torrent.size;
    state.error = torrent.error;
    const lt::torrent_status status = torrent.handle.status();
    state.done = status.total_wanted_done;
    state.rate = status.download_payload_rate;
    state.fromPeers = torrent.fromPeers;
    state.fromWebSeeds = torrent.fromWebSeeds;
    // Whole only when libtorrent checked every piece and the file is there
    // at its size under its own name.
    state.complete = torrent.finished && status.is_seeding && status.num_pieces == torrent.pieces &&
                     FsFileSize(torrent.path.c_str()) == torrent.size;
    return state;
}

void PeerSession::Poll() {
    // The web seeds' addresses, while a file is still coming.
    for (auto& entry : m_impl->torrents) {
        Torrent& torrent = *entry.second;
        if (torrent.finished || !torrent.handle.is_valid())
            continue;
        std::vector<lt::peer_info> peers;
        torrent.handle.get_peer_info(peers);
        for (const lt::peer_info& peer : peers)
            if (peer.connection_type != lt::peer_info::standard_bittorrent &&
                torrent.webSeeds.size() < 64)
                torrent.webSeeds.insert(peer.ip);
    }
    std::vector<lt::alert*> alerts;
    m_impl->session->pop_alerts(&alerts);
    for (lt::alert* a : alerts) {
        if (auto* block = lt::alert_cast<lt::block_finished_alert>(a)) {
            Torrent* torrent = m_impl->Find(block->handle);
            if (!torrent || !torrent->info)
                continue;
            const int64_t rest = torrent->info->piece_size(block->piece_index) -
                                 (int64_t)block->block_index * kBlockBytes;
            const int64_t bytes = rest < kBlockBytes ? rest : kBlockBytes;
            if (bytes <= 0)
                continue;
            (LooksLikeWebSeed(*torrent, *block) ? torrent->fromWebSeeds : torrent->fromPeers) +=
                bytes;
        } else if (auto* done = lt::alert_cast<lt::torrent_finished_alert>(a)) {
            if (Torrent* torrent = m_impl->Find(done->handle))
                torrent->finished = true;
            done->handle.save_resume_data(lt::torrent_handle::flush_disk_cache |
                                          lt::torrent_handle::save_info_dict);
        } else if (auto* saved = lt::alert_cast<lt::save_resume_data_alert>(a)) {
            m_impl->SaveResume(saved->params);
        } else if (auto* failed = lt::alert_cast<lt::torrent_error_alert>(a)) {
            if (Torrent* torrent = m_impl->Find(failed->handle))
                torrent->error = failed->message();
        } else if (auto* fileFailed = lt::alert_cast<lt::file_error_alert>(a)) {
            if (Torrent* torrent = m_impl->Find(fileFailed->handle))
                torrent->error = fileFailed->message();
        } else if (auto* bad = lt::alert_cast<lt::hash_failed_alert>(a)) {
            EngineLog("%s", bad->message().c_str());
        } else if (auto* banned = lt::alert_cast<lt::peer_ban_alert>(a)) {
            EngineLog("%s", banned->message().c_str());
        }
    }
}

void PeerSession::Remove(const std::string& key) {
    auto found = m_impl->torrents.find(key);
    if (found == m_impl->torrents.end())
        return;
    if (found->second->handle.is_valid())
        m_impl->session->remove_torrent(found->second->handle);
    m_impl->torrents.erase(found);
}
