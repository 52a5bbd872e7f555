// Files already on disk, hashed (SHA-256) on a worker thread, so that the
// library thread, and every host call waiting for the library lock, goes on
// while a large file is read. The download session hands it the file under
// its final name and the partial file it would continue; the engine
// downloader every file the engine reports done.
//
// Add queues a file and answers a ticket; the worker hashes queued files one
// after the other, from the first byte to the end, and keeps each result
// until its owner takes it (Take) or drops it (Drop). The owner polls
// (every kPollMs, on a library timer), as CDownloader polls an unpack.
//
// Only sole files are hashed (pfFile.h): a link, a FIFO, a device or a file
// with more than one name at the path is never queued, and one put there
// later is refused by the worker's open, which neither follows a link nor
// waits on a FIFO.
//
// Threads: Add, Take, Drop and the destructor on one thread (the library
// thread, or under the library lock). The worker touches only the queue's
// shared state and the file it reads; it runs while files are queued and
// ends when none is left. A dropped file being read is given up within one
// chunk (kFileDigestChunk). Nothing here waits for the worker without a
// bound: the destructor gives every file up and waits at most kJoinMs for
// the worker to end; a worker stuck in a system call beyond that is left to
// end by itself and frees the shared state then.
#pragma once

#include <stdint.h>

#include "sdk/support/Sha256Stream.h"

struct PfCriticalSection;
struct PfThread;

class FileHashQueue {
  public:
    static constexpr uint32_t kPollMs = 100;
    // Longest wait for the worker when the queue goes (the owner holds the
    // library lock then): far above one chunk's read on a working disk.
    static constexpr uint32_t kJoinMs = 1000;

    FileHashQueue();
    ~FileHashQueue();
    FileHashQueue(const FileHashQueue&) = delete;
    FileHashQueue& operator=(const FileHashQueue&) = delete;

    // Queues the file at `path` (a library path); 0 when it cannot be
    // queued (not a sole file, no memory, no worker), else its ticket.
    uint32_t Add(const char* path);
    // True once the ticket's file was read: `*bytes` is how many bytes were
    // hashed (-1 when it could not be read) and `hash` holds them, not yet
    // finished. The ticket is then spent. False while it is queued or read.
    bool Take(uint32_t ticket, Sha256Stream& hash, int64_t* bytes);
    // Forgets the ticket; a file being read is given up.
    void Drop(uint32_t ticket);
    // Files queued or read and not yet taken or dropped.
    int32_t Count() const;

  private:
    struct Task;
    struct Shared;

    static unsigned Run(void* shared);
    // Hashes queued files until none is left.
    static void Work(Shared* shared);
    // Drops one holder of the shared state; the last one frees it.
    static void Release(Shared* shared);

    Shared* m_shared = nullptr;
    PfThread* m_thread = nullptr;
    uint32_t m_nextTicket = 0;
};
