#include "tools/sfpublish/TorrentWriter.h"

#include <string.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <system_error>

#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/file_storage.hpp>
#include <libtorrent/torrent_info.hpp>

namespace fs = std::filesystem;

namespace sfpublish {

namespace {

const size_t kMaxTrackers = 8;
const size_t kMaxTrackerUrl = 512;
const uint32_t kMinPiece = 16 * 1024;
const uint32_t kMaxPiece = 16 * 1024 * 1024;
const uint64_t kMaxPieces = 1024;
const char kTorrentSuffix[] = ".torrent";

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

bool IsTrackerUrl(const std::string& url) {
    if (url.empty() || url.size() > kMaxTrackerUrl)
        return false;
    for (unsigned char c : url)
        if (c <= ' ' || c >= 0x7F)
            return false;
    for (const char* scheme : {"http://", "https://", "udp://"})
        if (StartsWith(url, scheme) && url.size() > strlen(scheme))
            return true;
    return false;
}

}  // namespace

bool TakeTrackers(const std::string& text, std::vector<std::string>* trackers, std::string* error) {
    trackers->clear();
    if (text == "none")
        return true;
    size_t at = 0;
    while (true) {
        const size_t comma = text.find(',', at);
        const std::string url =
            text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (!IsTrackerUrl(url)) {
            *error = "--torrents: '" + url +
                     "' is not a tracker URL (http://, https:// or udp://, no spaces); "
                     "use 'none' for no tracker";
            return false;
        }
        if (std::find(trackers->begin(), trackers->end(), url) == trackers->end())
            trackers->push_back(url);
        if (trackers->size() > kMaxTrackers) {
            *error = "--torrents: more than " + std::to_string(kMaxTrackers) + " trackers";
            return false;
        }
        if (comma == std::string::npos)
            return true;
        at = comma + 1;
    }
}

uint32_t TorrentPieceSize(uint64_t fileSize) {
    uint32_t piece = kMinPiece;
    while (piece < kMaxPiece && (fileSize + piece - 1) / piece > kMaxPieces)
        piece *= 2;
    return piece;
}

bool MakeTorrent(const fs::path& file, const std::string& name, const std::string& webSeed,
                 const std::vector<std::string>& trackers, MadeTorrent* out, std::string* error) {
    std::error_code fsError;
    const uint64_t size = fs::file_size(file, fsError);
    if (fsError || size == 0) {
        *error = Shown(file) + ": cannot make a torrent of it" +
                 (fsError ? " (" + fsError.message() + ")" : std::string(" (empty)"));
        return false;
    }
    try {
        lt::file_storage storage;
        storage.add_file(name, (std::int64_t)size);
        // Hybrid: v1 and v2 (neither v1_only nor v2_only); no file times,
        // so the torrent depends on the bytes alone.
        lt::create_torrent torrent(storage, (int)TorrentPieceSize(size));
        lt::error_code ec;
        lt::set_piece_hashes(torrent, file.parent_path().string(), ec);
        if (ec) {
            *error = Shown(file) + ": cannot hash its pieces (" + ec.message() + ")";
            return false;
        }
        torrent.add_url_seed(webSeed);
        for (size_t i = 0; i < trackers.size(); ++i)
            torrent.add_tracker(trackers[i], (int)i);
        torrent.set_creator("sfpublish");
        std::vector<char> bytes;
        lt::bencode(std::back_inserter(bytes), torrent.generate());
        // The hash is the one a reader of these bytes computes.
        lt::torrent_info info(lt::span<const char>(bytes.data(), (std::ptrdiff_t)bytes.size()), ec,
                              lt::from_span);
        if (ec || !info.info_hashes().has_v2()) {
            *error = Shown(file) + ": the torrent made does not read back";
            return false;
        }
        out->bytes.assign(bytes.begin(), bytes.end());
        const lt::sha256_hash& v2 = info.info_hashes().v2;
        out->btih = ToHex(reinterpret_cast<const unsigned char*>(v2.data()), v2.size());
        return true;
    } catch (const std::exception& e) {
        *error = Shown(file) + ": cannot make a torrent of it (" + e.what() + ")";
        return false;
    }
}

bool TorrentBatch::Make(const std::vector<std::string>& trackers, const std::string& base,
                        std::vector<ListedFile>* files, std::string* error) {
    std::set<fs::path> listed;
    for (const ListedFile& file : *files)
        listed.insert(file.path.lexically_normal());
    files->erase(std::remove_if(files->begin(), files->end(),
                                [&](const ListedFile& file) {
                                    const std::string path = file.path.lexically_normal().string();
                                    const size_t n = strlen(kTorrentSuffix);
                                    return path.size() > n &&
                                           path.compare(path.size() - n, n, kTorrentSuffix) == 0 &&
                                           listed.count(fs::path(path.substr(0, path.size() - n)));
                                }),
                 files->end());
    for (ListedFile& file : *files) {
        std::error_code ec;
        if (fs::file_size(file.path, ec) == 0 && !ec)
            continue;
        MadeTorrent made;
        if (!MakeTorrent(file.path, file.name, base + "/" + file.name, trackers, &made, error))
            return false;
        fs::path target = file.path;
        target += kTorrentSuffix;
        m_staged.emplace_back(new StagedFile(target));
        if (!m_staged.back()->Write(made.bytes, false, error))
            return false;
        file.btih = made.btih;
    }
    return true;
}

bool TorrentBatch::Commit(std::string* error) {
    for (auto& staged : m_staged)
        if (!staged->Commit(error))
            return false;
    return true;
}

}  // namespace sfpublish
