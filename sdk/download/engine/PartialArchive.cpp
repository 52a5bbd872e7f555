#include "sdk/download/engine/PartialArchive.h"

#include <stdlib.h>
#include <string.h>

#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/download/engine/CDownloadFile.h"
#include "sdk/support/EnginePath.h"
#include "sdk/support/HexBytes.h"
#include "sdk/support/Sha256Stream.h"
#include "sdk/support/zip/ZipFileTarget.h"

namespace {

const char kMagic[8] = {'S', 'F', 'P', 'A', 'R', 'T', '1', '\n'};
// Magic, the whole size (8 bytes) and the validator's length (4 bytes),
// little-endian; the validator follows.
const int64_t kFixedHeader = 8 + 8 + 4;
// Characters of the URL's digest in the file name.
const int kNameDigestBytes = 12;
const size_t kPiece = 1 << 20;

void PutLe(uint8_t* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[i] = (uint8_t)(value >> (8 * i));
}

uint64_t GetLe(const uint8_t* in, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | in[i];
    return value;
}

// A validator goes out in a header line: printable ASCII only.
bool IsHeaderText(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if ((unsigned char)text[i] < 0x20 || (unsigned char)text[i] > 0x7E)
            return false;
    return true;
}

bool ReadAll(PfFile* file, uint8_t* out, int64_t size) {
    while (size > 0) {
        const size_t want = size < (int64_t)kPiece ? (size_t)size : kPiece;
        const int64_t n = PfFileRead(file, out, want, nullptr);
        if (n <= 0)
            return false;
        out += n;
        size -= n;
    }
    return true;
}

void RemoveAt(const char* path) {
    char16_t wide[kZipPathSize];
    if (ZipWidenPath(path, wide))
        FsDeleteTreeWide(wide);
}

}  // namespace

bool PartialArchivePath(const char* url, ovCString& out) {
    out.Clear();
    ovCString folder;
    GetEngineFolder(folder);
    if (!url || folder.IsEmpty())
        return false;
    Sha256Stream digest;
    uint8_t sum[kSha256Size];
    if (!digest.Reset() || !digest.Add(url, strlen(url)) || !digest.Finish(sum))
        return false;
    char name[2 * kNameDigestBytes + 1];
    BytesToHex(sum, kNameDigestBytes, name);
    out = folder;
    out.Append("partial-");
    out.Append(name);
    out.Append(".part");
    return true;
}

bool LoadPartialArchive(const char* url, PartialArchive* out) {
    ovCString path;
    if (!out || !PartialArchivePath(url, path))
        return false;
    int32_t error = 0;
    PfFile* file = PfFileOpenNoLink(path.CStr(), &error);
    if (!file) {
        if (error != kPfErrorFileNotFound && error != kPfErrorPathNotFound)
            RemoveAt(path.CStr());
        return false;
    }
    uint8_t head[kFixedHeader];
    const int64_t size = PfFileSeekEnd(file);
    bool ok = size > kFixedHeader &&
              size <= kFixedHeader + (int64_t)kMaxPartialValidator + kMaxArchiveSize &&
              PfFileSeekStart(file) && ReadAll(file, head, kFixedHeader) &&
              memcmp(head, kMagic, sizeof kMagic) == 0;
    const int64_t total = ok ? (int64_t)GetLe(head + 8, 8) : 0;
    const uint32_t validatorLength = ok ? (uint32_t)GetLe(head + 16, 4) : 0;
    const int64_t have = size - kFixedHeader - (int64_t)validatorLength;
    ok = ok && total > 0 && total <= kMaxArchiveSize && validatorLength <= kMaxPartialValidator &&
         have > 0 && have < total;
    char validator[kMaxPartialValidator + 1];
    uint8_t* data = nullptr;
    if (ok) {
        ok = ReadAll(file, reinterpret_cast<uint8_t*>(validator), validatorLength) &&
             IsHeaderText(validator, validatorLength);
        validator[validatorLength] = '\0';
    }
    if (ok) {
        data = static_cast<uint8_t*>(malloc((size_t)total));
        ok = data && ReadAll(file, data, have);
    }
    PfFileClose(file);
    if (!ok) {
        free(data);
        RemoveAt(path.CStr());
        return false;
    }
    free(out->data);
    out->data = data;
    out->have = have;
    out->total = total;
    out->validator = validator;
    return true;
}

bool SavePartialArchive(const char* url, const uint8_t* data, int64_t have, int64_t total,
                        const char* validator) {
    ovCString path;
    if (!data || have <= 0 || have >= total || total > kMaxArchiveSize ||
        !PartialArchivePath(url, path))
        return false;
    const size_t validatorLength = validator ? strlen(validator) : 0;
    const size_t kept =
        validatorLength <= kMaxPartialValidator && IsHeaderText(validator, validatorLength)
            ? validatorLength
            : 0;
    RemoveAt(path.CStr());
    PfFile* file = PfFileCreateNew(path.CStr(), nullptr);
    if (!file)
        return false;
    uint8_t head[kFixedHeader];
    memcpy(head, kMagic, sizeof kMagic);
    PutLe(head + 8, (uint64_t)total, 8);
    PutLe(head + 16, (uint64_t)kept, 4);
    bool ok = PfFileWrite(file, head, sizeof head, nullptr) &&
              (kept == 0 || PfFileWrite(file, validator, kept, nullptr));
    for (int64_t at = 0; ok && at < have;) {
        const size_t n = have - at < (int64_t)kPiece ? (size_t)(have - at) : kPiece;
        ok = PfFileWrite(file, data + at, n, nullptr);
        at += (int64_t)n;
    }
    PfFileClose(file);
    if (!ok)
        RemoveAt(path.CStr());
    return ok;
}

void RemovePartialArchive(const char* url) {
    ovCString path;
    if (PartialArchivePath(url, path))
        RemoveAt(path.CStr());
}
