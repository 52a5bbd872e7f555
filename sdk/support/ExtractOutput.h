// Where an engine extraction writes, and how much it may write.
//
// Archives come from the content host, so what they unpack to is bounded:
// - before writing anything, an action tells the output what the archive
//   declares (Admit): more entries than the entry cap, more bytes than the
//   byte cap, or more bytes than the target's volume has free refuses the
//   archive;
// - while writing, the output counts what really goes out and refuses every
//   file and byte beyond what was admitted, since declared sizes can lie;
// - once the cancel flag is raised, every further file and byte is refused,
//   so an extraction stops within one buffer.
// Files and folders are made through the wide file calls (ZipWideFileTarget)
// unless another target is given (the skin uses the narrow one).
// The output keeps the name of every file it made, relative to the admitted
// folder, in the order made (a name made twice is kept once), so that they
// can be moved elsewhere afterwards.
//
// Used by one thread at a time; only the cancel flag may change meanwhile.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "opn/core/ovCString.h"
#include "sdk/support/StringList.h"
#include "sdk/support/zip/ZipFileTarget.h"

// What one engine archive may unpack to: 512 MiB (twice the largest archive
// that is downloaded at all) in at most 4096 files and folders.
const int64_t kExtractMaxBytes = (int64_t)512 << 20;
const int64_t kExtractMaxEntries = 4096;

class ExtractOutput : public IZipFileTarget {
  public:
    // `cancel` may be null (never cancelled); `files` null means
    // ZipWideFileTarget().
    explicit ExtractOutput(int64_t maxBytes = kExtractMaxBytes,
                           int64_t maxEntries = kExtractMaxEntries,
                           const std::atomic<bool>* cancel = nullptr,
                           IZipFileTarget* files = nullptr);
    ExtractOutput(const ExtractOutput&) = delete;
    ExtractOutput& operator=(const ExtractOutput&) = delete;

    // Starts an archive (what was counted and kept before is forgotten): it
    // declares `entries` entries holding `bytes` bytes, to be written below
    // `folder` (an absolute path ending in a separator; it need not exist
    // yet). False when that is over a cap, or more than the volume has free
    // when its free space can be read; nothing can be written then.
    bool Admit(const char* folder, int64_t entries, int64_t bytes);
    bool Cancelled() const;
    int64_t MaxBytes() const { return m_maxBytes; }

    // What was written so far.
    int64_t BytesWritten() const { return m_written; }
    // The files made, relative to the admitted folder.
    const StringList& Files() const { return m_files; }

    bool Exists(const char* path) override;
    bool CreateFolder(const char* path) override;
    // Null before Admit, once cancelled, and beyond the admitted entries.
    FsFile* CreateOutputFile(const char* path, uint32_t attributes) override;
    // False once cancelled and for bytes beyond the admitted ones.
    bool Write(FsFile* file, const void* data, size_t size) override;

  private:
    void Remember(const char* path);

    const int64_t m_maxBytes;
    const int64_t m_maxEntries;
    const std::atomic<bool>* m_cancel;
    IZipFileTarget& m_target;
    bool m_admitted = false;
    int64_t m_admittedBytes = 0;
    int64_t m_admittedEntries = 0;
    int64_t m_made = 0;
    int64_t m_written = 0;
    ovCString m_folder;
    StringList m_files;
};
