// One entry's file on disk while it downloads: the partial file
// "<name>.part" the bytes go to, its continuation from an earlier attempt or
// run, the SHA-256 of its bytes as they are written, the repair of a
// continued file that did not match, and putting the finished file in place
// under its name. Also the check, before any request, whether the final file
// is already there whole.
//
// With a hash (DownloadEntry::hasSha256), a partial file that is there (of
// this session's retries, or of an earlier run) is hashed on the session's
// worker (FileHashQueue.h) and continued when the hash holds exactly its
// bytes. Without one it is continued only under the server's validator
// (ResumeValidator.h), kept beside it, which the request sends as If-Range;
// without a validator every Open creates the partial file empty.
//
// Byte counts: Open moves the entry's received count and start offset
// (DownloadEntry) and the session's FileTally, so that the tally's total
// never exceeds what is on disk for the entries, and its present count holds
// the bytes found from an earlier run.
//
// Log lines: "[SwarmFetchLib] CreateFile Failed(<error>) : <path>",
// "Resume From <n> : <part>", "File Size Mismatch (<n> of <m>) : <url>",
// "Hash Mismatch : <url>", "Rename Failed(<error>) : <path>",
// "Already Complete : <path>".
//
// Threads: the library thread (or under the library lock), as its session.
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"
#include "sdk/support/Sha256Stream.h"

class FileHashQueue;
struct DownloadEntry;
struct PfFile;

// Byte counts of a session over all its entries.
struct FileTally {
    int64_t total = 0;    // bytes of the entries on disk, found or written
    int64_t present = 0;  // of those, the bytes found from before the session
};

class PartialFile {
  public:
    enum Whole { kNotWhole, kWhole, kStillHashing };

    // `hashes` and `tally` belong to the session and outlive this object.
    PartialFile(FileHashQueue& hashes, FileTally& tally);
    // Closes the file (keeping it as written) and gives up its hash.
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    // The entry's final path and its partial file's path: folder (a '\' is
    // added unless it ends in '\' or '/'), name, and the ".part" suffix.
    static bool PathsOf(const DownloadEntry& entry, ovCString& path, ovCString& part);
    // With a hash: queues the hash of the final file when it is there at
    // the known size (-1: any); the ticket, 0 when none was queued.
    static uint32_t QueueWholeCheck(FileHashQueue& hashes, const DownloadEntry& entry,
                                    int64_t known);
    // Whether the final file of a queued check is whole. Whole: the entry's
    // size and start offset are its length, counted in `tally` (total and
    // present), and a partial file beside it is deleted. Spends `ticket`
    // (set to 0) unless still hashing.
    static Whole TakeWholeCheck(FileHashQueue& hashes, uint32_t& ticket, DownloadEntry& entry,
                                int64_t known, FileTally& tally);

    // Makes this the file of `entry` (not owned), whose size is `known`
    // (-1 unknown); forgets everything about the entry before.
    void Enter(DownloadEntry* entry, int64_t known);
    DownloadEntry* Entry() const { return m_entry; }
    int64_t KnownSize() const { return m_entry ? m_known : -1; }

    // With a hash: queues the hash of a partial file the next request would
    // continue (once per entry); true when the request must wait for it.
    bool QueuePartHash();
    // True once the queued hash arrived (and is taken); false meanwhile.
    bool TakePartHash();
    // Gives the queued hash up.
    void DropPartHash();

    // Opens the partial file (closing one open): with `keepPart` and a hash
    // it is continued when its hash holds exactly its bytes, otherwise it
    // starts empty. Counts the bytes (see above). False, logged, when the
    // file cannot be created.
    bool Open(bool keepPart);
    bool IsOpen() const { return m_file != nullptr; }
    // An answer was accepted, with its validator (null: none) and the whole
    // file's size it shows (-1 unknown). A file that starts at byte 0 is
    // kept under it from now on (kept beside the file for a later run too,
    // once a write leaves the file short of that size, or the file is
    // closed holding bytes); a continued one keeps the validator it had.
    void Answered(const char* validator, int64_t fileSize);
    // The If-Range value for a request that continues the file; null when
    // none is to be sent.
    const char* IfRange() const;
    // Whether the next Open continues the bytes on disk.
    bool CanContinue() const;
    // Appends the bytes and counts them; false with the system's error when
    // they could not be written.
    bool Write(const uint8_t* data, int32_t length, int32_t* error);
    // Whether the bytes on disk are the `answerSize` bytes the answer
    // announced and the known size (logged when not, naming `url`).
    bool IsWhole(int64_t answerSize, const char* url);
    // With a hash: whether the bytes written are the file (logged when not).
    bool HashMatches(int64_t answerSize, const char* url);
    // Closes the file and renames it to its final name, replacing a file
    // there; false, logged, when the rename fails.
    bool PutInPlace();
    // The bytes did not match: the partial file is deleted and the bytes
    // found from before are no longer counted present. True when the entry
    // should start once more from byte 0 (a continued file, once per entry).
    bool Discard();
    // Closes the file, keeping it as written.
    void Close();

    // The final path and the partial file's path while open; empty otherwise.
    const ovCString& Path() const { return m_path; }
    const ovCString& PartPath() const { return m_partPath; }

  private:
    bool TakeExisting(bool resume);
    // Writes the validator beside the file when it is not there yet.
    void SaveValidator();
    void ForgetFoundBytes();

    FileHashQueue& m_hashes;
    FileTally& m_tally;
    DownloadEntry* m_entry = nullptr;
    int64_t m_known = -1;
    PfFile* m_file = nullptr;
    ovCString m_path;
    ovCString m_partPath;

    // With a hash: the partial file's bytes from 0, as written. Valid while
    // it holds exactly the entry's partial file.
    Sha256Stream m_hash;
    bool m_hashValid = false;
    // The entry started again from byte 0 after a continued file did not
    // match (once per entry).
    bool m_restarted = false;
    // Whether the entry's file was opened yet, and how many bytes of an
    // earlier run it held then (counted in the tally's present bytes).
    bool m_opened = false;
    int64_t m_found = 0;
    uint32_t m_partTicket = 0;
    bool m_partHashed = false;  // the partial file was hashed once
    // Without a hash: the validator the partial file's bytes came under;
    // empty when none (the file is then never continued).
    ovCString m_validator;
    // m_validator is not kept beside the file yet.
    bool m_unsaved = false;
    // The whole file's size the accepted answer shows; -1 unknown.
    int64_t m_answerSize = -1;
};
