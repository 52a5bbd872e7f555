#include "tools/sfpublish/ToolFiles.h"

#include <stdio.h>

#include <fstream>
#include <new>
#include <system_error>
#include <vector>

#include "sdk/support/HexBytes.h"
#include "sdk/support/Sha256Stream.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace sfpublish {

namespace fs = std::filesystem;

namespace {

const size_t kHashPiece = 1 << 20;

}  // namespace

std::string Shown(const fs::path& path) {
    return path.u8string();
}

std::string ToHex(const unsigned char* bytes, size_t size) {
    std::vector<char> hex(2 * size + 1);
    BytesToHex(bytes, size, hex.data());
    return std::string(hex.data(), 2 * size);
}

bool ReadSmallFile(const fs::path& path, uint64_t maxBytes, std::string* bytes,
                   std::string* error) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        *error = Shown(path) + ": not a readable file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = Shown(path) + ": cannot be opened";
        return false;
    }
    bytes->clear();
    std::vector<char> piece(64 * 1024);
    // One byte past the bound tells a file that is too large.
    while (in) {
        in.read(piece.data(), (std::streamsize)piece.size());
        const size_t got = (size_t)in.gcount();
        if (bytes->size() + got > maxBytes) {
            *error = Shown(path) + ": larger than " + std::to_string(maxBytes) + " bytes";
            return false;
        }
        try {
            bytes->append(piece.data(), got);
        } catch (const std::bad_alloc&) {
            *error = Shown(path) + ": out of memory";
            return false;
        }
    }
    if (in.bad()) {
        *error = Shown(path) + ": read error";
        return false;
    }
    return true;
}

bool HashFile(const fs::path& path, std::string* sha256Hex, uint64_t* size, std::string* error) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        *error = Shown(path) + ": not a readable file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = Shown(path) + ": cannot be opened";
        return false;
    }
    // The library's streaming hash, the one that checks these files on
    // download.
    Sha256Stream hash;
    if (!hash.Reset()) {
        *error = "SHA-256 is not available";
        return false;
    }
    std::vector<char> piece(kHashPiece);
    bool ok = true;
    while (ok && in) {
        in.read(piece.data(), (std::streamsize)piece.size());
        ok = hash.Add(piece.data(), (size_t)in.gcount());
    }
    uint8_t digest[kSha256Size];
    const uint64_t total = (uint64_t)hash.Bytes();
    if (!ok || in.bad() || !hash.Finish(digest)) {
        *error = Shown(path) + ": read error";
        return false;
    }
    *sha256Hex = ToHex(digest, sizeof digest);
    *size = total;
    return true;
}

StagedFile::StagedFile(fs::path finalPath) : m_final(std::move(finalPath)) {
    m_temp = m_final;
    m_temp += ".sfpublish-tmp";
}

StagedFile::~StagedFile() {
    std::error_code ec;
    if (m_written && !m_committed)
        fs::remove(m_temp, ec);
}

bool StagedFile::Write(const std::string& bytes, bool privateFile, std::string* error) {
    std::error_code ec;
    fs::remove(m_temp, ec);
    m_written = true;
#ifndef _WIN32
    if (privateFile) {
        // Created with 0600 from the start, so the key is never readable by
        // others, not even for a moment.
        const int fd = open(m_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        bool ok = fd >= 0;
        size_t done = 0;
        while (ok && done < bytes.size()) {
            const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
            ok = n > 0;
            if (ok)
                done += (size_t)n;
        }
        if (fd >= 0 && close(fd) != 0)
            ok = false;
        if (!ok)
            *error = Shown(m_temp) + ": cannot be written";
        return ok;
    }
#else
    (void)privateFile;
#endif
    std::ofstream out(m_temp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
    out.close();
    if (!out) {
        *error = Shown(m_temp) + ": cannot be written";
        return false;
    }
    return true;
}

bool StagedFile::Commit(std::string* error) {
    std::error_code ec;
    fs::rename(m_temp, m_final, ec);
    if (ec) {
        *error = Shown(m_final) + ": cannot be replaced (" + ec.message() + ")";
        return false;
    }
    m_committed = true;
    return true;
}

void StagedFile::RemoveCommitted() {
    std::error_code ec;
    if (m_committed)
        fs::remove(m_final, ec);
}

}  // namespace sfpublish
