// The torrents of a signed file list: for each listed file a hybrid
// BitTorrent torrent (v1 and v2, so v2 clients check every piece with
// SHA-256 and v1-only clients still join), its URL as the web seed (BEP 19)
// and the publisher's trackers, written beside the file as "<file>.torrent".
//
// The list line then carries "&btih=<64 hex digits>": the torrent's v2
// info-hash, the SHA-256 of its whole info dictionary (the v1 piece hashes
// included), so the signed list vouches for every byte a peer may check
// against. The SHA-1 v1 info-hash is left out of the list on purpose.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tools/sfpublish/SignedFileList.h"
#include "tools/sfpublish/ToolFiles.h"

namespace sfpublish {

// The value of --torrents: "none" (web seed and local discovery only) or
// tracker URLs (http://, https:// or udp://, each at most 512 bytes, no
// white space or control bytes) separated by ','; at most 8.
bool TakeTrackers(const std::string& text, std::vector<std::string>* trackers, std::string* error);

// The piece size for a file: a power of two from 16 KiB to 16 MiB, the
// smallest that keeps the file within 1024 pieces.
uint32_t TorrentPieceSize(uint64_t fileSize);

// One torrent: its bencoded bytes and the v2 info-hash in hex.
struct MadeTorrent {
    std::string bytes;
    std::string btih;
};
bool MakeTorrent(const std::filesystem::path& file, const std::string& name,
                 const std::string& webSeed, const std::vector<std::string>& trackers,
                 MadeTorrent* out, std::string* error);

// The torrents of one list run: made and staged for every file first, put
// in place only by Commit, so a failure before it leaves no torrent changed.
class TorrentBatch {
  public:
    // Drops files that are another listed file's torrent (a folder listed
    // again after an earlier run), then makes each remaining file's torrent
    // (not for empty files, which have no pieces) and sets its btih.
    bool Make(const std::vector<std::string>& trackers, const std::string& base,
              std::vector<ListedFile>* files, std::string* error);
    bool Commit(std::string* error);

  private:
    std::vector<std::unique_ptr<StagedFile>> m_staged;
};

}  // namespace sfpublish
