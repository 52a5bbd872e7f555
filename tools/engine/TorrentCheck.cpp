#include "tools/engine/TorrentCheck.h"

#include <string.h>

#include <exception>

#include <libtorrent/torrent_info.hpp>

#include "opn/core/ovCString.h"
#include "opn/platform/pfCodePage.h"

namespace {

// Bounds for decoding: well above what one file of 1024 pieces needs.
const int kMaxPieces = 1 << 16;
const int kMaxDecodeDepth = 32;
const int kMaxDecodeTokens = 100000;

bool HasFolderPart(const std::string& name) {
    return name.empty() || name.find_first_of("/\\:") != std::string::npos || name == "." ||
           name == "..";
}

// A v2 hash vouches for a torrent with SHA-256 pieces (v2 or hybrid); a v1
// hash only for a v1-only torrent, so no torrent is taken by its weaker hash
// when it has a stronger one.
bool HashMatches(const libtorrent::info_hash_t& hashes, const uint8_t* btih, size_t btihSize) {
    if (btihSize == 32)
        return hashes.has_v2() && memcmp(hashes.v2.data(), btih, 32) == 0;
    if (btihSize == 20)
        return hashes.has_v1() && !hashes.has_v2() && memcmp(hashes.v1.data(), btih, 20) == 0;
    return false;
}

}  // namespace

TorrentVerdict CheckTorrent(const std::string& bytes, const uint8_t* btih, size_t btihSize,
                            const std::string& name, int64_t size) {
    TorrentVerdict verdict;
    if ((int64_t)bytes.size() > kMaxTorrentBytes) {
        verdict.why = "torrent of " + std::to_string(bytes.size()) + " bytes, over the bound";
        return verdict;
    }
    std::shared_ptr<libtorrent::torrent_info> info;
    try {
        libtorrent::load_torrent_limits limits;
        limits.max_buffer_size = (int)kMaxTorrentBytes;
        limits.max_pieces = kMaxPieces;
        limits.max_decode_depth = kMaxDecodeDepth;
        limits.max_decode_tokens = kMaxDecodeTokens;
        info = std::make_shared<libtorrent::torrent_info>(
            libtorrent::span<const char>(bytes.data(), (std::ptrdiff_t)bytes.size()), limits,
            libtorrent::from_span);
    } catch (const std::exception& e) {
        verdict.why = std::string("torrent unreadable: ") + e.what();
        return verdict;
    }
    if (!HashMatches(info->info_hashes(), btih, btihSize)) {
        verdict.why = "torrent hash differs from the list";
        return verdict;
    }
    const libtorrent::file_storage& files = info->files();
    if (files.num_files() != 1 || files.pad_file_at(libtorrent::file_index_t(0))) {
        verdict.why = "torrent names " + std::to_string(files.num_files()) + " files, not one";
        return verdict;
    }
    const std::string path = files.file_path(libtorrent::file_index_t(0));
    // Torrents name files in UTF-8. libtorrent writes that name as the OS
    // takes it: on Windows as the same characters, elsewhere as these bytes.
    std::string want = name;
#ifdef _WIN32
    ovCString utf8;
    if (!OV_SUCCEEDED(AnsiToUtf8(ovCString(name.c_str()), utf8))) {
        verdict.why = "name not convertible";
        return verdict;
    }
    want = utf8.CStr();
#endif
    if (HasFolderPart(path) || path != want || info->name() != want) {
        verdict.why = "torrent names '" + path + "', not '" + name + "'";
        return verdict;
    }
    if (size >= 0 && info->total_size() != size) {
        verdict.why =
            "torrent size " + std::to_string(info->total_size()) + ", not " + std::to_string(size);
        return verdict;
    }
    verdict.usable = true;
    return verdict;
}
