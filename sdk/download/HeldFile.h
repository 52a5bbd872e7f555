// A file held open for reading from Open until the object goes, while others
// may only read it: on Windows no one writes, deletes or renames it meanwhile
// (POSIX has no share modes). Its content is checked through the hold, so the
// bytes checked are the bytes held; the launcher holds the installer so from
// its check until it has started.
//
// Threads: no lock; an object is used by one thread at a time.
#pragma once

#include <stdint.h>

#include "sdk/support/Sha256Stream.h"

struct PfFile;

class HeldFile {
  public:
    HeldFile() = default;
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    // Holds the existing file at `path` (a library path), letting go of one
    // held before; false when it cannot be opened, also when it is open for
    // writing elsewhere or is not a sole file (a link, a file with a second
    // name, a FIFO; pfFile.h).
    bool Open(const char* path);
    // True when the held file has `size` bytes (any size when -1) and hashes
    // to `sha256`; `*length` (may be null) gets its length then. Reads it
    // from its start each time; false when nothing is held.
    bool HasContent(int64_t size, const uint8_t sha256[kSha256Size], int64_t* length);
    void Close();

  private:
    PfFile* m_file = nullptr;
};
