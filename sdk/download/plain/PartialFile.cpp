#include "sdk/download/plain/PartialFile.h"

#include <inttypes.h>
#include <string.h>

#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/download/CJob.h"
#include "sdk/download/FileDigest.h"
#include "sdk/download/FileHashQueue.h"
#include "sdk/download/plain/ResumeValidator.h"
#include "sdk/support/ServiceLog.h"

PartialFile::PartialFile(FileHashQueue& hashes, FileTally& tally)
    : m_hashes(hashes), m_tally(tally) {}

PartialFile::~PartialFile() {
    DropPartHash();
    Close();
}

bool PartialFile::PathsOf(const DownloadEntry& entry, ovCString& path, ovCString& part) {
    if (!path.Assign(entry.folder))
        return false;
    const char last = path.IsEmpty() ? '\0' : path.CStr()[path.Length() - 1];
    if (last != '\\' && last != '/' && !path.Append("\\"))
        return false;
    return path.Append(entry.fileName) && part.Assign(path) && part.Append(kPartFileSuffix);
}

uint32_t PartialFile::QueueWholeCheck(FileHashQueue& hashes, const DownloadEntry& entry,
                                      int64_t known) {
    ovCString path;
    ovCString part;
    if (!entry.hasSha256 || !PathsOf(entry, path, part))
        return 0;
    // Only a sole file is read: a link may lead out of the folder, a FIFO
    // would block the read.
    const int64_t onDisk = PfFileSoleSize(path.CStr());
    if (onDisk >= 0 && (known < 0 || onDisk == known))
        return hashes.Add(path.CStr());
    return 0;
}

PartialFile::Whole PartialFile::TakeWholeCheck(FileHashQueue& hashes, uint32_t& ticket,
                                               DownloadEntry& entry, int64_t known,
                                               FileTally& tally) {
    if (!entry.hasSha256 || ticket == 0)
        return kNotWhole;
    Sha256Stream hash;
    int64_t length = -1;
    if (!hashes.Take(ticket, hash, &length))
        return kStillHashing;
    ticket = 0;
    ovCString path;
    ovCString part;
    // A file that changed size while it was read is not the one measured.
    if (length < 0 || (known >= 0 && length != known) || !PathsOf(entry, path, part) ||
        PfFileSoleSize(path.CStr()) != length || !DigestIs(hash, entry.sha256))
        return kNotWhole;
    LogPrintf("[SwarmFetchLib] Already Complete : %s", path.CStr());
    // A partial file left beside it is of no more use.
    if (FsFileSize(part.CStr()) >= 0)
        FsDeleteFile(part.CStr());
    // Its bytes count as received, but not as received now.
    entry.size = length;
    entry.startOffset = length;
    tally.total += length;
    tally.present += length;
    return kWhole;
}

void PartialFile::Enter(DownloadEntry* entry, int64_t known) {
    m_entry = entry;
    m_known = known;
    m_answerSize = -1;
    m_unsaved = false;
    m_restarted = false;
    m_hashValid = false;
    m_opened = false;
    m_found = 0;
    m_partHashed = false;
    m_validator.Clear();
}

bool PartialFile::QueuePartHash() {
    if (!m_entry || !m_entry->hasSha256 || m_partHashed)
        return false;
    ovCString path;
    ovCString part;
    if (!PathsOf(*m_entry, path, part))
        return false;
    // Anything but a sole file is not continued; the open removes it.
    const int64_t onDisk = PfFileSoleSize(part.CStr());
    const int64_t known = KnownSize();
    // The hash of an earlier attempt of this session may hold these bytes.
    if (onDisk <= 0 || (known >= 0 && onDisk > known) || (m_hashValid && m_hash.Bytes() == onDisk))
        return false;
    // Once: a partial file that cannot be hashed starts empty.
    m_partHashed = true;
    m_partTicket = m_hashes.Add(part.CStr());
    return m_partTicket != 0;
}

bool PartialFile::TakePartHash() {
    Sha256Stream hash;
    int64_t length = -1;
    if (!m_hashes.Take(m_partTicket, hash, &length))
        return false;
    m_partTicket = 0;
    m_hashValid = false;
    if (length > 0) {
        m_hash.Swap(hash);
        m_hashValid = true;
        ovCString path;
        ovCString part;
        if (m_entry && PathsOf(*m_entry, path, part))
            LogPrintf("[SwarmFetchLib] Resume From %" PRId64 " : %s", length, part.CStr());
    }
    return true;
}

void PartialFile::DropPartHash() {
    m_hashes.Drop(m_partTicket);
    m_partTicket = 0;
}

bool PartialFile::Open(bool keepPart) {
    Close();
    ovCString path;
    ovCString part;
    if (!m_entry || !PathsOf(*m_entry, path, part))
        return false;
    // A folder that cannot be made shows up as the file's failure below.
    ovCString folder;
    if (folder.Assign(path.CStr(), path.Length() - m_entry->fileName.Length()))
        FsCreateFolders(folder.CStr());
    int32_t error = kPfErrorAccessDenied;
    // What an earlier run kept beside the file is read once per entry, and
    // only when the partial file holds bytes: looking for a name that is
    // not there costs a scan of the folder under Wine. Until then the file
    // is kept as it is; TakeExisting empties it when it is not continued.
    const bool readValidator = keepPart && !m_opened && !m_entry->hasSha256;
    bool resume = keepPart && (m_entry->hasSha256 || !m_validator.IsEmpty());
    // A folder where the file must go: it could never be put in place.
    if (!FsIsFolder(path.CStr())) {
        m_file = PfFileOpenSole(part.CStr(), resume || readValidator ? kPfSoleKeep : kPfSoleEmpty,
                                &error);
    }
    if (!m_file) {
        LogPrintf("[SwarmFetchLib] CreateFile Failed(%d) : %s", (int)error,
                  FsIsFolder(path.CStr()) ? path.CStr() : part.CStr());
        return false;
    }
    if (readValidator) {
        if (PfFileSeekEnd(m_file) > 0)
            LoadResumeValidator(part.CStr(), m_validator);
        resume = !m_validator.IsEmpty();
    }
    m_path = path;
    m_partPath = part;
    if (!TakeExisting(resume))
        return false;
    const int64_t size = PfFileSeekEnd(m_file);
    if (!m_opened) {
        // Bytes of an earlier run count as received, but not as received now.
        m_opened = true;
        m_found = size > 0 ? size : 0;
        m_tally.present += m_found;
    }
    // The earlier attempt's bytes are gone with the truncated file, or
    // counted again as the start of this one.
    m_tally.total -= m_entry->received + m_entry->startOffset;
    if (m_tally.total < 0)
        m_tally.total = 0;
    m_entry->received = 0;
    m_entry->startOffset = size > 0 ? size : 0;
    m_tally.total += m_entry->startOffset;
    return true;
}

bool PartialFile::TakeExisting(bool resume) {
    const int64_t onDisk = PfFileSeekEnd(m_file);
    const int64_t known = KnownSize();
    if (!m_entry->hasSha256) {
        m_hashValid = false;
        // Continued under its validator; the server says whether it still
        // has these bytes.
        if (resume && onDisk > 0 && (known < 0 || onDisk <= known)) {
            if (!m_opened)
                LogPrintf("[SwarmFetchLib] Resume From %" PRId64 " (If-Range) : %s", onDisk,
                          m_partPath.CStr());
            return true;
        }
        m_validator.Clear();
        RemoveResumeValidator(m_partPath.CStr());
        if (onDisk != 0) {
            PfFileClose(m_file);
            int32_t error = kPfErrorNone;
            m_file = PfFileOpenSole(m_partPath.CStr(), kPfSoleEmpty, &error);
            if (!m_file) {
                LogPrintf("[SwarmFetchLib] CreateFile Failed(%d) : %s", (int)error,
                          m_partPath.CStr());
                return false;
            }
        }
        ForgetFoundBytes();
        return true;
    }
    // Continued only when the hash holds exactly these bytes (hashed before
    // the request, QueuePartHash, or written by an earlier attempt).
    if (resume && onDisk > 0 && (known < 0 || onDisk <= known) && m_hashValid &&
        m_hash.Bytes() == onDisk)
        return true;
    // Nothing to continue (or nothing usable): the file starts empty.
    if (onDisk != 0) {
        PfFileClose(m_file);
        int32_t error = kPfErrorNone;
        m_file = PfFileOpenSole(m_partPath.CStr(), kPfSoleEmpty, &error);
        if (!m_file) {
            LogPrintf("[SwarmFetchLib] CreateFile Failed(%d) : %s", (int)error, m_partPath.CStr());
            return false;
        }
    }
    // Bytes of an earlier run that were counted are gone too.
    ForgetFoundBytes();
    m_hashValid = m_hash.Reset();
    return true;
}

void PartialFile::ForgetFoundBytes() {
    m_tally.present -= m_found;
    m_found = 0;
}

void PartialFile::Answered(const char* validator, int64_t fileSize) {
    m_answerSize = fileSize;
    if (!m_entry || m_entry->hasSha256 || m_entry->startOffset > 0 || m_partPath.IsEmpty())
        return;
    // A validator kept beside the file never speaks for bytes of another
    // version: it is written before the first byte that leaves the file
    // short (Write). A body that completes the file in one write never
    // needs it on disk, which spares a small file two creations and a
    // deletion.
    m_validator.Clear();
    m_unsaved = false;
    if (validator && validator[0] && IsResumeValidator(validator, strlen(validator)) &&
        m_validator.Assign(validator))
        m_unsaved = true;
    else
        RemoveResumeValidator(m_partPath.CStr());
}

void PartialFile::SaveValidator() {
    if (!m_unsaved)
        return;
    m_unsaved = false;
    // Not kept: not continued either, as before any byte came.
    if (m_partPath.IsEmpty() || !SaveResumeValidator(m_partPath.CStr(), m_validator.CStr()))
        m_validator.Clear();
}

const char* PartialFile::IfRange() const {
    if (!m_entry || m_entry->hasSha256 || m_entry->startOffset <= 0 || m_validator.IsEmpty())
        return nullptr;
    return m_validator.CStr();
}

bool PartialFile::CanContinue() const {
    if (!m_entry || !m_file)
        return false;
    return m_entry->hasSha256 ? m_hashValid : !m_validator.IsEmpty();
}

bool PartialFile::Write(const uint8_t* data, int32_t length, int32_t* error) {
    if (!m_file || !m_entry || length < 0)
        return false;
    const int64_t after = m_entry->startOffset + m_entry->received + length;
    if (m_unsaved && (m_answerSize < 0 || after < m_answerSize))
        SaveValidator();
    if (!PfFileWrite(m_file, data, (size_t)length, error)) {
        // Some of the bytes may be there; they are of this answer.
        SaveValidator();
        return false;
    }
    m_tally.total += length;
    m_entry->received += length;
    if (m_entry->hasSha256 && m_hashValid && !m_hash.Add(data, (size_t)length))
        m_hashValid = false;
    return true;
}

bool PartialFile::IsWhole(int64_t answerSize, const char* url) {
    const int64_t onDisk = m_file ? PfFileSeekEnd(m_file) : -1;
    const int64_t known = KnownSize();
    if (onDisk >= 0 && onDisk == answerSize && (known < 0 || onDisk == known))
        return true;
    LogPrintf("[SwarmFetchLib] File Size Mismatch (%" PRId64 " of %" PRId64 ") : %s", onDisk,
              known >= 0 ? known : answerSize, url);
    return false;
}

bool PartialFile::HashMatches(int64_t answerSize, const char* url) {
    uint8_t digest[kSha256Size];
    const bool whole = m_hashValid && m_hash.Bytes() == answerSize && m_hash.Finish(digest);
    m_hashValid = false;
    if (whole && m_entry && memcmp(digest, m_entry->sha256, kSha256Size) == 0)
        return true;
    LogPrintf("[SwarmFetchLib] Hash Mismatch : %s", url);
    return false;
}

bool PartialFile::PutInPlace() {
    ovCString path(m_path);
    int32_t error = kPfErrorNone;
    // The file moved into place is the one written and hashed, also when its
    // name was given to another file meanwhile.
    const bool moved = m_file && PfFileMoveOpen(m_file, path.CStr(), &error);
    // Never written (the usual case for a file that came in one write): no
    // name to remove. Left where it is, the file keeps its validator.
    if (moved && !m_unsaved)
        RemoveResumeValidator(m_partPath.CStr());
    if (moved)
        m_unsaved = false;
    else
        SaveValidator();
    m_validator.Clear();
    Close();
    if (!moved) {
        LogPrintf("[SwarmFetchLib] Rename Failed(%d) : %s", (int)error, path.CStr());
        return false;
    }
    return true;
}

bool PartialFile::Discard() {
    // Bytes from before this request were part of the file: they may be the
    // wrong ones. Once per file it starts again from byte 0.
    const bool resumed = m_entry && m_entry->startOffset > 0;
    ovCString part(m_partPath);
    m_unsaved = false;
    Close();
    // Wrong bytes are never continued.
    FsDeleteFile(part.CStr());
    RemoveResumeValidator(part.CStr());
    m_validator.Clear();
    ForgetFoundBytes();
    if (resumed && !m_restarted) {
        m_restarted = true;
        return true;
    }
    return false;
}

void PartialFile::Close() {
    // Bytes of the answer stay for a later run: so does their validator.
    if (m_unsaved && m_file && m_entry && m_entry->received > 0)
        SaveValidator();
    m_unsaved = false;
    if (m_file) {
        PfFileClose(m_file);
        m_file = nullptr;
    }
    m_path.Clear();
    m_partPath.Clear();
}
