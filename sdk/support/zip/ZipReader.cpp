#include "sdk/support/zip/ZipReader.h"

#include <string.h>

#include <new>

#include "opn/core/ovCString.h"
#include "opn/platform/pfClock.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/support/zip/ZipArchive.h"
#include "sdk/support/zip/ZipEntryStream.h"
#include "sdk/support/zip/ZipFileTarget.h"
#include "sdk/support/zip/ZipNames.h"

namespace {

// The only kind of handle there is.
const uint32_t kReaderKind = 1;
const uint32_t kTransferSize = 16384;

// Hosts (zip's "version made by" numbers) whose external attributes are read
// as DOS attribute bits: 0 MS-DOS/FAT, 7 Macintosh, 11 and 14 VFAT. Every
// other host, Windows NTFS (10) included, is read the Unix way.
bool HasDosAttributes(uint8_t host) {
    return host == 0 || host == 7 || host == 11 || host == 14;
}

uint32_t EntryAttributes(const ZipCentralHeader& header) {
    const uint32_t external = header.externalAttributes;
    if (HasDosAttributes((uint8_t)(header.versionMadeBy >> 8)))
        return external & (kZipAttributeReadOnly | kZipAttributeHidden | kZipAttributeSystem |
                           kZipAttributeDirectory | kZipAttributeArchive);
    // Unix mode in the high half: directory type bit, owner write bit.
    uint32_t attributes = kZipAttributeArchive;
    if (external & 0x40000000u)
        attributes |= kZipAttributeDirectory;
    if ((external & 0x00800000u) == 0)
        attributes |= kZipAttributeReadOnly;
    return attributes;
}

// The DOS date and time as local time, or 0 when they name no real time.
uint64_t DosTimeToFileTime(uint32_t dosDateTime) {
    const uint32_t date = dosDateTime >> 16;
    const uint32_t time = dosDateTime & 0xFFFF;
    const int year = 1980 + (int)(date >> 9);
    const int month = (int)((date >> 5) & 15);
    const int day = (int)(date & 31);
    const int hour = (int)(time >> 11);
    const int minute = (int)((time >> 5) & 63);
    const int second = 2 * (int)(time & 31);
    uint64_t fileTime = 0;
    if (!ClockLocalToFileTime(year, month, day, hour, minute, second, &fileTime))
        return 0;
    return fileTime;
}

uint64_t UnixTimeToFileTime(int32_t seconds) {
    return (uint64_t)((int64_t)seconds * 10000000ll + 116444736000000000ll);
}

int32_t Le32Signed(const uint8_t* p) {
    return (int32_t)((uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
                     ((uint32_t)p[3] << 24));
}

// The first "UT" (extended timestamp) block of a local extra field replaces
// the write, access and creation times it carries, in that order.
void ApplyExtendedTimestamp(const uint8_t* extra, uint32_t length, ZipEntry* entry) {
    uint32_t at = 0;
    while (at + 4 < length) {
        const uint32_t size = (uint32_t)(extra[at + 2] | (extra[at + 3] << 8));
        if (extra[at] != 'U' || extra[at + 1] != 'T') {
            at += 4 + size;
            continue;
        }
        // The block's data, cut to what the field really holds.
        const uint8_t* data = extra + at + 4;
        uint32_t available = length - (at + 4);
        if (available > size)
            available = size;
        if (available < 1)
            return;
        const uint8_t flags = data[0];
        uint64_t* targets[3] = {&entry->writeTime, &entry->accessTime, &entry->creationTime};
        uint32_t offset = 1;
        for (int bit = 0; bit < 3; ++bit) {
            if ((flags & (1 << bit)) == 0)
                continue;
            if (offset + 4 > available)
                return;
            *targets[bit] = UnixTimeToFileTime(Le32Signed(data + offset));
            offset += 4;
        }
        return;
    }
}

void ClearEntry(ZipEntry* entry) {
    memset(entry, 0, sizeof *entry);
}

// Joins `a` and `b` into `out`; false when the result would not fit.
bool Join(const char* a, const char* b, char (&out)[kZipPathSize]) {
    const size_t la = strlen(a);
    const size_t lb = strlen(b);
    if (la + lb >= kZipPathSize)
        return false;
    memmove(out, a, la);
    memmove(out + la, b, lb);
    out[la + lb] = '\0';
    return true;
}

}  // namespace

class ZipReader {
  public:
    explicit ZipReader(const char* password) : m_hasPassword(password != nullptr) {
        if (password)
            m_password.Assign(password);
        RecordBaseFolder();
    }
    ~ZipReader() { delete[] m_transfer; }
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    bool Open(const uint8_t* data, uint32_t length) { return m_archive.Open(data, length); }
    uint32_t Count() const { return m_archive.EntryCount(); }
    uint32_t Describe(uint32_t index, ZipEntry* entry, ZipLocalLayout* layout);
    uint32_t Extract(uint32_t index, const char* target, IZipFileTarget& files);

  private:
    void RecordBaseFolder();
    void EnsureFolderPath(IZipFileTarget& files, const char* root, const char* path);
    bool ResolveTarget(const char* root, const char* target, char (&out)[kZipPathSize]);
    uint32_t WriteData(FsFile* file, const ZipLocalLayout& layout, IZipFileTarget& files);
    const char* Password() const { return m_hasPassword ? m_password.CStr() : nullptr; }

    ZipArchive m_archive;
    ovCString m_password;
    bool m_hasPassword;
    // The last entry described, kept so asking again reads nothing.
    ZipEntry m_cached = {};
    ZipLocalLayout m_cachedLayout = {};
    int64_t m_cachedIndex = -1;
    uint8_t* m_transfer = nullptr;
    // The current folder at opening with a separator at the end; empty when
    // it would not fit, and relative targets are then refused.
    char m_base[kZipPathSize] = {};
};

struct ZipHandle {
    uint32_t kind;
    ZipReader* reader;
};

void ZipReader::RecordBaseFolder() {
    ovCString folder;
    if (!FsGetCurrentFolder(folder) || folder.IsEmpty())
        return;
    const char* text = folder.CStr();
    const bool ends = ZipIsSeparator(text[folder.Length() - 1]);
    if (!Join(text, ends ? "" : "\\", m_base))
        m_base[0] = '\0';
}

uint32_t ZipReader::Describe(uint32_t index, ZipEntry* entry, ZipLocalLayout* layout) {
    if ((int64_t)index == m_cachedIndex) {
        *entry = m_cached;
        *layout = m_cachedLayout;
        return ZipOk;
    }
    if (!m_archive.GoTo(index))
        return ZipErrCorrupt;
    const ZipCentralHeader& header = m_archive.Current();
    uint32_t rc = m_archive.CheckLocalHeader(layout);
    if (rc != ZipOk)
        return rc;
    // A longer name cannot be held, and cutting it would name another file.
    if (header.nameLength >= kZipPathSize)
        return ZipErrBadName;
    char stored[kZipPathSize];
    memcpy(stored, m_archive.CurrentName(), header.nameLength);
    stored[header.nameLength] = '\0';
    const char* name = ZipSanitiseName(stored);
    if (!ZipNameStaysInside(name))
        return ZipErrBadName;

    ZipEntry described;
    ClearEntry(&described);
    described.index = (int32_t)index;
    memmove(described.name, name, strlen(name) + 1);
    described.attributes = EntryAttributes(header);
    described.compressedSize = (int32_t)header.compressedSize;
    described.uncompressedSize = (int32_t)header.uncompressedSize;
    const uint64_t dosTime = DosTimeToFileTime(header.dosDateTime);
    described.accessTime = dosTime;
    described.creationTime = dosTime;
    described.writeTime = dosTime;
    ApplyExtendedTimestamp(layout->extra, layout->extraLength, &described);

    m_cached = described;
    m_cachedLayout = *layout;
    m_cachedIndex = index;
    *entry = described;
    return ZipOk;
}

// Makes sure root + path exists, creating the root (one level) and each
// folder of the path from the top. Failures show when the file is created.
// The caller has checked that root + path fits.
void ZipReader::EnsureFolderPath(IZipFileTarget& files, const char* root, const char* path) {
    if (root && root[0] && !files.Exists(root))
        files.CreateFolder(root);
    if (path[0] == '\0')
        return;
    char full[kZipPathSize];
    if (!Join(root ? root : "", path, full))
        return;
    const size_t rootLength = root ? strlen(root) : 0;
    // Every separator but a leading one ends a folder to make.
    for (const char* sep = ZipNextSeparator(path + 1); sep; sep = ZipNextSeparator(sep + 1)) {
        char* cut = full + rootLength + (sep - path);
        const char saved = *cut;
        *cut = '\0';
        if (!files.Exists(full))
            files.CreateFolder(full);
        *cut = saved;
    }
    if (!files.Exists(full))
        files.CreateFolder(full);
}

uint32_t ZipReader::Extract(uint32_t index, const char* target, IZipFileTarget& files) {
    if (index >= Count())
        return ZipErrArgs;
    ZipEntry entry;
    ZipLocalLayout layout;
    uint32_t rc = Describe(index, &entry, &layout);
    if (rc != ZipOk)
        return rc;
    char path[kZipPathSize];
    if (entry.attributes & kZipAttributeDirectory) {
        const char* root = ZipIsAbsolutePath(target) ? nullptr : m_base;
        if (!ResolveTarget(root, target, path))
            return ZipErrBadName;
        EnsureFolderPath(files, root, target);
        return files.Exists(path) ? ZipOk : ZipErrCreate;
    }

    // The folder part keeps its separator and decides whether the target is
    // absolute.
    char folderPart[kZipPathSize] = {};
    if (const char* sep = ZipLastSeparator(target)) {
        const size_t n = (size_t)(sep - target) + 1;
        if (n >= kZipPathSize)
            return ZipErrBadName;
        memcpy(folderPart, target, n);
        folderPart[n] = '\0';
    }
    const char* root = ZipIsAbsolutePath(folderPart) ? nullptr : m_base;
    if (!ResolveTarget(root, target, path))
        return ZipErrBadName;
    EnsureFolderPath(files, root, folderPart);

    FsFile* file = files.CreateOutputFile(path, entry.attributes);
    if (!file)
        return ZipErrCreate;
    rc = WriteData(file, layout, files);
    if (rc == ZipOk)
        FsSetFileTimes(file, entry.creationTime, entry.accessTime, entry.writeTime);
    if (!FsCloseFile(file) && rc == ZipOk)
        rc = ZipErrWrite;
    return rc;
}

// `target` below `root` (none: as it is) into `out`; false when there is no
// base folder to resolve against or the path would not fit.
bool ZipReader::ResolveTarget(const char* root, const char* target, char (&out)[kZipPathSize]) {
    if (root && root[0] == '\0')
        return false;
    return Join(root ? root : "", target, out);
}

uint32_t ZipReader::WriteData(FsFile* file, const ZipLocalLayout& layout, IZipFileTarget& files) {
    if (!m_transfer)
        m_transfer = new (std::nothrow) uint8_t[kTransferSize];
    ZipEntryStream* stream =
        new (std::nothrow) ZipEntryStream(m_archive, layout.dataPosition, Password());
    if (!m_transfer || !stream || !stream->Start()) {
        delete stream;
        return ZipErrFlate;
    }
    uint32_t rc = ZipOk;
    for (;;) {
        bool end = false;
        const int32_t n = stream->Read(m_transfer, kTransferSize, &end);
        if (n == kZipReadBadPassword) {
            rc = ZipErrPassword;
            break;
        }
        if (n < 0) {
            rc = ZipErrFlate;
            break;
        }
        if (n > 0 && !files.Write(file, m_transfer, (size_t)n)) {
            rc = ZipErrWrite;
            break;
        }
        if (end)
            break;
        if (n == 0) {
            rc = ZipErrFlate;
            break;
        }
    }
    if (rc == ZipOk && !stream->CrcMatches())
        rc = ZipErrCrc;
    delete stream;
    return rc;
}

namespace {

// The reader of a valid handle, or the result code to refuse it with.
uint32_t ReaderOf(ZipHandle* handle, ZipReader** reader) {
    if (!handle)
        return ZipErrArgs;
    if (handle->kind != kReaderKind || !handle->reader)
        return ZipErrWrongHandle;
    *reader = handle->reader;
    return ZipOk;
}

}  // namespace

ZipHandle* ZipOpenMemory(const void* data, uint32_t length, const char* password) {
    if (!data)
        return nullptr;
    ZipReader* reader = new (std::nothrow) ZipReader(password);
    if (!reader)
        return nullptr;
    ZipHandle* handle = new (std::nothrow) ZipHandle;
    if (!handle || !reader->Open(static_cast<const uint8_t*>(data), length)) {
        delete handle;
        delete reader;
        return nullptr;
    }
    handle->kind = kReaderKind;
    handle->reader = reader;
    return handle;
}

uint32_t ZipGetEntry(ZipHandle* handle, int32_t index, ZipEntry* entry) {
    if (!entry)
        return ZipErrArgs;
    entry->index = 0;
    entry->name[0] = '\0';
    entry->uncompressedSize = 0;
    ZipReader* reader = nullptr;
    uint32_t rc = ReaderOf(handle, &reader);
    if (rc != ZipOk)
        return rc;
    if (index < -1 || (index >= 0 && (uint32_t)index >= reader->Count()))
        return ZipErrArgs;
    if (index == -1) {
        ClearEntry(entry);
        entry->index = (int32_t)reader->Count();
        return ZipOk;
    }
    ZipEntry described;
    ZipLocalLayout layout;
    rc = reader->Describe((uint32_t)index, &described, &layout);
    if (rc == ZipOk)
        *entry = described;
    return rc;
}

uint32_t ZipExtractEntryTo(ZipHandle* handle, int32_t index, const char* target,
                           IZipFileTarget& files) {
    ZipReader* reader = nullptr;
    uint32_t rc = ReaderOf(handle, &reader);
    if (rc != ZipOk)
        return rc;
    if (index < 0 || !target)
        return ZipErrArgs;
    return reader->Extract((uint32_t)index, target, files);
}

uint32_t ZipExtractEntry(ZipHandle* handle, int32_t index, const char* target) {
    return ZipExtractEntryTo(handle, index, target, ZipNarrowFileTarget());
}

uint32_t ZipClose(ZipHandle* handle) {
    if (!handle)
        return ZipOk;
    delete handle->reader;
    delete handle;
    return ZipOk;
}

const char* ZipResultText(uint32_t code) {
    switch (code) {
        case ZipOk:
            return "Success";
        case ZipErrCreate:
            return "Couldn't create/open file";
        case ZipErrWrite:
            return "Error writing to file";
        case ZipErrCorrupt:
            return "Zipfile is corrupt or not a zipfile";
        case ZipErrRead:
            return "Error reading file";
        case ZipErrCrc:
            return "Extracted data do not match the CRC-32";
        case ZipErrBadName:
            return "Entry name leaves the target folder or is too long";
        case ZipErrPassword:
            return "Correct password required";
        case ZipErrArgs:
            return "Caller: faulty arguments";
        case ZipErrWrongHandle:
            return "Caller: mixing creation and opening of zip";
        case ZipErrFlate:
            return "Zip-bug: an internal error during flation";
        default:
            return "unknown zip result code";
    }
}

uint32_t ZipComposeTarget(const char* folder, const char* name, char (&out)[kZipPathSize]) {
    out[0] = '\0';
    if (!folder || !name || !ZipNameStaysInside(name) || !Join(folder, name, out))
        return ZipErrBadName;
    return ZipOk;
}
