#include "sdk/download/FileDigest.h"

#include <string.h>

#include <new>

#include "opn/platform/pfFile.h"

int64_t HashRestOfFile(PfFile* file, Sha256Stream& hash, const std::atomic<bool>* cancel) {
    uint8_t* buffer = new (std::nothrow) uint8_t[kFileDigestChunk];
    if (!buffer)
        return -1;
    int64_t total = 0;
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            total = -1;
            break;
        }
        const int64_t n = PfFileRead(file, buffer, kFileDigestChunk, nullptr);
        if (n < 0 || (n > 0 && !hash.Add(buffer, (size_t)n))) {
            total = -1;
            break;
        }
        if (n == 0)
            break;
        total += n;
    }
    delete[] buffer;
    return total;
}

bool FileHasContent(const char* path, int64_t size, const uint8_t sha256[kSha256Size],
                    int64_t* length) {
    PfFile* file = PfFileOpenSole(path, kPfSoleRead, nullptr);
    if (!file)
        return false;
    const bool has = OpenFileHasContent(file, size, sha256, length);
    PfFileClose(file);
    return has;
}

bool OpenFileHasContent(PfFile* file, int64_t size, const uint8_t sha256[kSha256Size],
                        int64_t* length) {
    const int64_t onDisk = file ? PfFileSeekEnd(file) : -1;
    if (onDisk < 0 || (size >= 0 && onDisk != size) || !PfFileSeekStart(file))
        return false;
    Sha256Stream hash;
    const int64_t read = HashRestOfFile(file, hash);
    // A file that changed size while it was read is not the one measured.
    if (read != onDisk || !DigestIs(hash, sha256))
        return false;
    if (length)
        *length = onDisk;
    return true;
}

bool DigestIs(Sha256Stream& hash, const uint8_t sha256[kSha256Size]) {
    uint8_t digest[kSha256Size];
    return hash.Finish(digest) && memcmp(digest, sha256, kSha256Size) == 0;
}
