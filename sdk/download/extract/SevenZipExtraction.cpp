#include "sdk/download/extract/SevenZipExtraction.h"

#include <stdlib.h>
#include <string.h>

extern "C" {
#include "7z.h"
#include "7zCrc.h"
}

#include "opn/core/ovCString.h"
#include "opn/core/ovUtf16.h"
#include "opn/platform/pfCodePage.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/support/ExtractOutput.h"
#include "sdk/download/extract/SevenZipMemoryStream.h"
#include "sdk/support/zip/ZipFileTarget.h"
#include "sdk/support/zip/ZipNames.h"
#include "sdk/support/zip/ZipReader.h"

namespace {

// The decoder's allocator: refuses what would take the memory in use above
// the limit, so sizes and counts from the archive cannot demand any amount.
struct BudgetAlloc {
    ISzAlloc vt;
    size_t limit;
    size_t used;
};

// Each block starts with its size, kept in a slot aligned for any type.
const size_t kBlockHeader = 16;

void* BudgetAllocate(ISzAllocPtr p, size_t size) noexcept {
    BudgetAlloc* budget = Z7_CONTAINER_FROM_VTBL(p, BudgetAlloc, vt);
    if (size == 0 || size > budget->limit - budget->used || size > SIZE_MAX - kBlockHeader)
        return nullptr;
    unsigned char* block = (unsigned char*)malloc(size + kBlockHeader);
    if (!block)
        return nullptr;
    memcpy(block, &size, sizeof size);
    budget->used += size;
    return block + kBlockHeader;
}

void BudgetFree(ISzAllocPtr p, void* address) noexcept {
    if (!address)
        return;
    BudgetAlloc* budget = Z7_CONTAINER_FROM_VTBL(p, BudgetAlloc, vt);
    unsigned char* block = (unsigned char*)address - kBlockHeader;
    size_t size;
    memcpy(&size, block, sizeof size);
    budget->used -= size;
    free(block);
}

// The UTF-16 name of file `index` in the system code page; false when it is
// empty, holds a zero, or is too long for any target path (each unit gives
// at least one byte).
bool NarrowName(const CSzArEx* db, UInt32 index, ovCString& out) {
    UInt16 stored[kZipPathSize];
    char16_t units[kZipPathSize];
    const size_t length = SzArEx_GetFileNameUtf16(db, index, nullptr);
    if (length < 2 || length > kZipPathSize)
        return false;
    SzArEx_GetFileNameUtf16(db, index, stored);
    for (size_t i = 0; i < length; ++i) {
        units[i] = (char16_t)stored[i];
        if ((units[i] == 0) != (i + 1 == length))
            return false;
    }
    ovCString utf8;
    return Utf16ToUtf8(units, utf8) && CodePageUtf8ToAnsi(utf8.CStr(), utf8.Length(), out) &&
           out.Length() > 0 && strlen(out.CStr()) == out.Length();
}

// Creates the folders of `path` from the first separator at or after `from`
// on, turning each '/' into '\'; false when one cannot be created.
bool CreateFoldersOnTheWay(char* path, char* from, IZipFileTarget& files) {
    for (char* sep = (char*)ZipNextSeparator(from); sep; sep = (char*)ZipNextSeparator(sep + 1)) {
        *sep = '\0';
        const bool ok = files.Exists(path) || files.CreateFolder(path);
        *sep = '\\';
        if (!ok)
            return false;
    }
    return true;
}

const uint32_t kKeptAttributes =
    kZipAttributeReadOnly | kZipAttributeHidden | kZipAttributeSystem | kZipAttributeArchive;

class SevenZipExtraction {
  public:
    SevenZipExtraction(const void* data, uint32_t size, size_t memoryLimit, ExtractOutput& output)
        : m_output(output), m_blockIndex(0xFFFFFFFF), m_out(nullptr), m_outSize(0) {
        m_alloc.vt.Alloc = BudgetAllocate;
        m_alloc.vt.Free = BudgetFree;
        m_alloc.limit = memoryLimit;
        m_alloc.used = 0;
        SevenZipMemoryStreamInit(m_stream, data, size, &output);
        LookToRead2_CreateVTable(&m_look, False);
        m_look.buf = m_lookBuffer;
        m_look.bufSize = sizeof m_lookBuffer;
        m_look.realStream = &m_stream.vt;
        LookToRead2_INIT(&m_look);
        SzArEx_Init(&m_db);
    }
    ~SevenZipExtraction() {
        ISzAlloc_Free(&m_alloc.vt, m_out);
        SzArEx_Free(&m_db, &m_alloc.vt);
    }
    SevenZipExtraction(const SevenZipExtraction&) = delete;
    SevenZipExtraction& operator=(const SevenZipExtraction&) = delete;

    bool Open() {
        static const bool tableReady = (CrcGenerateTable(), true);
        (void)tableReady;
        return SzArEx_Open(&m_db, &m_look.vt, &m_alloc.vt, &m_alloc.vt) == SZ_OK;
    }

    // What the archive declares, before anything is decoded: its entries and
    // the bytes of its files go to the output; the blocks it would decode
    // are held to the output's byte cap as well, so that blocks of nothing
    // but unnamed bytes cannot keep the decoder busy.
    bool Admit(const char* folder) {
        const uint64_t cap = (uint64_t)m_output.MaxBytes();
        uint64_t decoded = 0;
        for (UInt32 f = 0; f < m_db.db.NumFolders; ++f) {
            const UInt64 size = SzAr_GetFolderUnpackSize(&m_db.db, f);
            if (size > cap - decoded)
                return false;
            decoded += size;
        }
        uint64_t files = 0;
        for (UInt32 i = 0; i < m_db.NumFiles; ++i) {
            const UInt64 size = SzArEx_IsDir(&m_db, i) ? 0 : SzArEx_GetFileSize(&m_db, i);
            if (size > cap - files)
                return false;
            files += size;
        }
        return m_output.Admit(folder, (int64_t)m_db.NumFiles, (int64_t)files);
    }

    int32_t WriteAll(const char* folder) {
        if (!Admit(folder))
            return kSevenZipFailed;
        for (UInt32 i = 0; i < m_db.NumFiles; ++i) {
            if (!SzArEx_IsDir(&m_db, i) && !WriteFile(i, folder))
                return kSevenZipFailed;
        }
        return kSevenZipOk;
    }

  private:
    bool WriteFile(UInt32 index, const char* folder) {
        ovCString name;
        char target[kZipPathSize];
        if (!NarrowName(&m_db, index, name) ||
            ZipComposeTarget(folder, ZipSanitiseName(name.CStr()), target) != ZipOk)
            return false;
        if (!CreateFoldersOnTheWay(target, target + strlen(folder), m_output))
            return false;
        size_t offset = 0;
        size_t processed = 0;
        if (SzArEx_Extract(&m_db, &m_look.vt, index, &m_blockIndex, &m_out, &m_outSize, &offset,
                           &processed, &m_alloc.vt, &m_alloc.vt) != SZ_OK)
            return false;
        const uint32_t attributes = SzBitWithVals_Check(&m_db.Attribs, index)
                                        ? m_db.Attribs.Vals[index] & kKeptAttributes
                                        : 0;
        FsFile* file = m_output.CreateOutputFile(target, attributes);
        if (!file)
            return false;
        const bool written = processed == 0 || m_output.Write(file, m_out + offset, processed);
        return FsCloseFile(file) && written;
    }

    ExtractOutput& m_output;
    BudgetAlloc m_alloc;
    SevenZipMemoryStream m_stream;
    CLookToRead2 m_look;
    Byte m_lookBuffer[1 << 14];
    CSzArEx m_db;
    UInt32 m_blockIndex;
    Byte* m_out;
    size_t m_outSize;
};

}  // namespace

int32_t Extract7zToFolder(const void* data, uint32_t size, const char* folder, size_t memoryLimit,
                          ExtractOutput& output) {
    if (!data || size == 0 || !folder)
        return kSevenZipNotOpened;
    SevenZipExtraction extraction(data, size, memoryLimit, output);
    if (!extraction.Open())
        return kSevenZipNotOpened;
    return extraction.WriteAll(folder);
}
