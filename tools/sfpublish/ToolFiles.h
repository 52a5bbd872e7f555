// File input and output of sfpublish. Every input is read with a bound,
// large files are hashed in pieces, and every output is written under a
// temporary name and renamed into place, so a failure never leaves a
// half-written file under the final name.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>

namespace sfpublish {

// The whole file when it holds at most `maxBytes` bytes; false with a
// one-line `error` otherwise (missing, unreadable, larger).
bool ReadSmallFile(const std::filesystem::path& path, uint64_t maxBytes, std::string* bytes,
                   std::string* error);

// SHA-256 of the file's bytes as 64 lower-case hex digits, and its size,
// read in pieces (no whole-file read).
bool HashFile(const std::filesystem::path& path, std::string* sha256Hex, uint64_t* size,
              std::string* error);

// Lower-case hex digits of the bytes.
std::string ToHex(const unsigned char* bytes, size_t size);

// Output written to `<final>.sfpublish-tmp` and moved to the final name by
// Commit; a Staged file that was never committed is removed when it goes.
class StagedFile {
  public:
    explicit StagedFile(std::filesystem::path finalPath);
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Writes the temporary file (mode 0600 on POSIX when `privateFile`).
    bool Write(const std::string& bytes, bool privateFile, std::string* error);
    // Renames it to the final name, replacing a file there.
    bool Commit(std::string* error);
    // Takes a committed file away again (the second of a pair failed).
    void RemoveCommitted();

    const std::filesystem::path& FinalPath() const { return m_final; }

  private:
    std::filesystem::path m_final;
    std::filesystem::path m_temp;
    bool m_written = false;
    bool m_committed = false;
};

// The path as the user wrote it, for messages.
std::string Shown(const std::filesystem::path& path);

}  // namespace sfpublish
