// Checks, unpacks and installs one engine archive on a worker thread, so
// that the library thread, and every host call waiting for the library lock,
// goes on while the archive is hashed and its files are written.
//
// The worker:
// 1. checks the archive against its hash list, when it has one, and
//    against its expected SHA-256, when it has one;
// 2. unpacks it into the staging folder beside the engine folder (the engine
//    folder's name followed by ".staging"; whatever an earlier run left
//    there is removed first) through an ExtractOutput with the default caps;
// 3. only when every entry was written, moves each file into the engine
//    folder, replacing the older ones (read-only ones too), the engine
//    program last: should a move fail (a file held open by another program
//    is tried again for about a second), the installed program keeps its
//    old version and the next run updates again;
// 4. removes the staging folder, whatever happened.
// A failure before step 3 leaves the installed engine as it was.
//
// Threads: Start, Done, Result and the destructor on one thread (the library
// thread). The worker touches only what it was given and the file system.
// The destructor cancels the worker and waits for it; the worker looks at
// the cancel flag at least once per 1 MiB hashed (by either hash) and per
// 16 KiB read or written, so the wait is short.
#pragma once

#include <stdint.h>

#include <atomic>

#include "opn/core/ovCString.h"
#include "sdk/support/Sha256Stream.h"

class StringList;
struct PfEvent;
struct PfThread;

class EngineUnpack {
  public:
    // Takes `data` (`size` bytes, allocated with malloc); `hashList` (null:
    // none), `sha256` (null: none) and the texts are copied. `folder` is the engine folder (ending
    // in a separator), `program` the engine program's name in it. `kind` is
    // an ArchiveKind. Null when no worker could be started; `data` is freed
    // then.
    static EngineUnpack* Start(int32_t kind, uint8_t* data, int64_t size, const uint8_t* hashList,
                               int64_t hashListLength, const uint8_t* sha256, const char* folder,
                               const char* program);
    ~EngineUnpack();
    EngineUnpack(const EngineUnpack&) = delete;
    EngineUnpack& operator=(const EngineUnpack&) = delete;

    // The worker has ended; Result is then final.
    bool Done() const { return m_done.load(std::memory_order_acquire); }
    // kDownloadOk, kDownloadHashMismatch or kDownloadUnpackFailed
    // (CDownloadFile.h).
    int32_t Result() const { return m_result; }

    // The staging folder of the engine folder `folder`, ending in '\'.
    static void StagingFolderOf(const char* folder, ovCString& out);

  private:
    EngineUnpack() = default;
    static unsigned Run(void* self);
    int32_t Work();
    bool HashListMatches();
    bool Sha256Matches();
    // Moves the unpacked `files` (relative names) from `staging` into place.
    bool Install(const char* staging, const StringList& files);
    // Moves one of them, trying again for a while when the target is held
    // open by someone else.
    bool MoveInto(const char* staging, const char* folder, const char* relative);

    int32_t m_kind = 0;
    uint8_t* m_data = nullptr;
    int64_t m_size = 0;
    uint8_t* m_hashList = nullptr;
    int64_t m_hashListLength = 0;
    uint8_t m_sha256[kSha256Size];
    bool m_hasSha256 = false;
    ovCString m_folder;
    ovCString m_program;
    PfThread* m_thread = nullptr;
    // Set with the cancel flag, to end a wait between two tries of a move.
    PfEvent* m_wake = nullptr;
    std::atomic<bool> m_cancel{false};
    std::atomic<bool> m_done{false};
    int32_t m_result = 0;
};
