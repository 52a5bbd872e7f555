#include "sdk/download/engine/EngineUnpack.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "opn/core/ovAscii.h"
#include "opn/core/ctCMD4.h"
#include "opn/platform/pfFileSystem.h"
#include "opn/platform/pfProgramFile.h"
#include "opn/platform/pfThread.h"
#include "sdk/download/engine/CDownloadFile.h"
#include "sdk/download/extract/ExtractArchive.h"
#include "sdk/support/ExtractOutput.h"
#include "sdk/support/StringList.h"
#include "sdk/support/zip/ZipFileTarget.h"
#include "sdk/support/zip/ZipNames.h"

namespace {

const uint32_t kJoinStepMs = 1000;
// A file that another program holds open for a moment (a scanner, a version
// reader) cannot be replaced on Windows; each move is tried this often.
const int kMoveTries = 20;
const uint32_t kMoveRetryMs = 50;
// How much is hashed between two looks at the cancel flag.
const int64_t kHashStep = 1024 * 1024;

bool DeleteTree(const char* folder) {
    char16_t wide[kZipPathSize];
    return ZipWidenPath(folder, wide) && FsDeleteTreeWide(wide);
}

}  // namespace

// Moves `relative` from below `staging` to below `folder`, making the
// folders on its way there.
bool EngineUnpack::MoveInto(const char* staging, const char* folder, const char* relative) {
    char from[kZipPathSize];
    char to[kZipPathSize];
    if (ZipComposeTarget(staging, relative, from) != ZipOk ||
        ZipComposeTarget(folder, relative, to) != ZipOk)
        return false;
    IZipFileTarget& files = ZipWideFileTarget();
    char* part = to + strlen(folder);
    for (char* sep = (char*)ZipNextSeparator(part); sep; sep = (char*)ZipNextSeparator(sep + 1)) {
        const char saved = *sep;
        *sep = '\0';
        const bool made = files.Exists(to) || files.CreateFolder(to);
        *sep = saved;
        if (!made)
            return false;
    }
    char16_t wideFrom[kZipPathSize];
    char16_t wideTo[kZipPathSize];
    if (!ZipWidenPath(from, wideFrom) || !ZipWidenPath(to, wideTo))
        return false;
    for (int attempt = 1;; ++attempt) {
        if (FsReplaceFileWide(wideFrom, wideTo))
            return true;
        // A wait that ends early was ended by the cancel.
        if (attempt == kMoveTries || m_cancel.load(std::memory_order_relaxed) ||
            PfEventWait(m_wake, kMoveRetryMs))
            return false;
    }
}

EngineUnpack* EngineUnpack::Start(int32_t kind, uint8_t* data, int64_t size,
                                  const uint8_t* hashList, int64_t hashListLength,
                                  const uint8_t* sha256, const char* folder, const char* program) {
    EngineUnpack* unpack = new (std::nothrow) EngineUnpack();
    if (!unpack) {
        free(data);
        return nullptr;
    }
    unpack->m_kind = kind;
    unpack->m_data = data;
    unpack->m_size = size;
    unpack->m_hasSha256 = sha256 != nullptr;
    if (sha256)
        memcpy(unpack->m_sha256, sha256, kSha256Size);
    bool ok = unpack->m_folder.Assign(folder ? folder : "") &&
              unpack->m_program.Assign(program ? program : "");
    if (ok && hashList && hashListLength > 0) {
        unpack->m_hashList = static_cast<uint8_t*>(malloc((size_t)hashListLength));
        ok = unpack->m_hashList != nullptr;
        if (ok) {
            memcpy(unpack->m_hashList, hashList, (size_t)hashListLength);
            unpack->m_hashListLength = hashListLength;
        }
    }
    if (ok)
        unpack->m_wake = PfEventCreate();
    ok = ok && unpack->m_wake;
    uint32_t threadId = 0;
    if (ok)
        unpack->m_thread = PfThreadStart(&EngineUnpack::Run, unpack, &threadId);
    if (!unpack->m_thread) {
        delete unpack;
        return nullptr;
    }
    return unpack;
}

EngineUnpack::~EngineUnpack() {
    if (m_thread) {
        m_cancel.store(true, std::memory_order_relaxed);
        PfEventSet(m_wake);
        while (!PfThreadWait(m_thread, kJoinStepMs)) {
        }
        PfThreadClose(m_thread);
    }
    PfEventClose(m_wake);
    free(m_data);
    free(m_hashList);
}

void EngineUnpack::StagingFolderOf(const char* folder, ovCString& out) {
    const char* text = folder ? folder : "";
    size_t length = strlen(text);
    while (length > 0 && ZipIsSeparator(text[length - 1]))
        --length;
    out.Assign(text, (uint32_t)length);
    out.Append(".staging\\");
}

unsigned EngineUnpack::Run(void* self) {
    EngineUnpack* unpack = static_cast<EngineUnpack*>(self);
    // Background work: the library thread and the host come first.
    PfThreadLowerPriority();
    unpack->m_result = unpack->Work();
    unpack->m_done.store(true, std::memory_order_release);
    return 0;
}

bool EngineUnpack::HashListMatches() {
    ctChunkedMd4Check check(m_hashList, (size_t)m_hashListLength, m_data, m_size);
    while (!check.Done() && !m_cancel.load(std::memory_order_relaxed))
        check.Step();
    return check.Matches();
}

bool EngineUnpack::Sha256Matches() {
    Sha256Stream hash;
    for (int64_t at = 0; at < m_size; at += kHashStep) {
        if (m_cancel.load(std::memory_order_relaxed))
            return false;
        const int64_t step = m_size - at < kHashStep ? m_size - at : kHashStep;
        if (!hash.Add(m_data + at, (size_t)step))
            return false;
    }
    uint8_t digest[kSha256Size];
    return hash.Finish(digest) && memcmp(digest, m_sha256, kSha256Size) == 0;
}

int32_t EngineUnpack::Work() {
    if (m_hashList && !HashListMatches())
        return kDownloadHashMismatch;
    if (m_hasSha256 && !Sha256Matches())
        return kDownloadHashMismatch;
    ovCString staging;
    StagingFolderOf(m_folder.CStr(), staging);
    if (m_folder.IsEmpty() || !DeleteTree(staging.CStr()))
        return kDownloadUnpackFailed;
    ExtractOutput output(kExtractMaxBytes, kExtractMaxEntries, &m_cancel);
    const int32_t extracted = ExtractArchiveTo(m_kind, m_data, m_size, staging.CStr(), output);
    // The archive is not needed any more; nor is its memory.
    free(m_data);
    m_data = nullptr;
    const bool installed = extracted == kExtractArchiveOk &&
                           !m_cancel.load(std::memory_order_relaxed) &&
                           Install(staging.CStr(), output.Files());
    DeleteTree(staging.CStr());
    return installed ? kDownloadOk : kDownloadUnpackFailed;
}

bool EngineUnpack::Install(const char* staging, const StringList& files) {
    int32_t programIndex = -1;
    for (int32_t i = 0; i < files.Count(); ++i) {
        if (AsciiEqualsNoCase(files.At(i), m_program.CStr()))
            programIndex = i;
        else if (!MoveInto(staging, m_folder.CStr(), files.At(i)))
            return false;
    }
    if (programIndex >= 0 && !MoveInto(staging, m_folder.CStr(), files.At(programIndex)))
        return false;
    ovCString program(m_folder);
    program.Append(m_program);
    if (!m_program.IsEmpty() && FsExists(program.CStr()))
        PfMarkProgramFile(program.CStr());
    return true;
}
