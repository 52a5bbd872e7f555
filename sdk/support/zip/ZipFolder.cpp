#include "sdk/support/zip/ZipFolder.h"

#include "sdk/support/ExtractOutput.h"
#include "sdk/support/StringList.h"
#include "sdk/support/zip/ZipReader.h"

namespace {

// Archives are opened with a 32-bit length; a larger block is refused rather
// than read through a truncated length.
ZipHandle* OpenBlock(const void* data, int64_t size) {
    if (!data || size <= 0 || size > (int64_t)UINT32_MAX)
        return nullptr;
    return ZipOpenMemory(data, (uint32_t)size, nullptr);
}

int32_t EntryCount(ZipHandle* zip) {
    ZipEntry entry;
    ZipGetEntry(zip, -1, &entry);
    return entry.index;
}

// The entries that can be described and the sum of their declared sizes; the
// others are never written, so they do not count against the caps.
void DescribedSizes(ZipHandle* zip, int32_t count, int64_t* entries, int64_t* bytes) {
    *entries = 0;
    *bytes = 0;
    for (int32_t i = 0; i < count; ++i) {
        ZipEntry entry;
        if (ZipGetEntry(zip, i, &entry) != ZipOk)
            continue;
        ++*entries;
        *bytes += (uint32_t)entry.uncompressedSize;
    }
}

}  // namespace

bool UnzipAllToFolder(const char* folder, const void* data, int64_t size, int64_t maxBytes,
                      int64_t maxEntries) {
    if (!folder || !folder[0])
        return false;
    ZipHandle* zip = OpenBlock(data, size);
    if (!zip)
        return false;
    const int32_t count = EntryCount(zip);
    int64_t entries = 0;
    int64_t bytes = 0;
    DescribedSizes(zip, count, &entries, &bytes);
    ExtractOutput output(maxBytes, maxEntries, nullptr, &ZipNarrowFileTarget());
    if (!output.Admit(folder, entries, bytes)) {
        ZipClose(zip);
        return false;
    }
    bool allWritten = true;
    for (int32_t i = 0; i < count; ++i) {
        ZipEntry entry;
        char target[kZipPathSize];
        if (ZipGetEntry(zip, i, &entry) != ZipOk ||
            ZipComposeTarget(folder, entry.name, target) != ZipOk ||
            ZipExtractEntryTo(zip, i, target, output) != ZipOk)
            allWritten = false;
    }
    ZipClose(zip);
    return allWritten;
}

bool ListZipEntries(StringList& names, const void* data, int64_t size) {
    ZipHandle* zip = OpenBlock(data, size);
    if (!zip)
        return false;
    const int32_t count = EntryCount(zip);
    for (int32_t i = 0; i < count; ++i) {
        ZipEntry entry;
        if (ZipGetEntry(zip, i, &entry) == ZipOk)
            names.Add(entry.name);
    }
    ZipClose(zip);
    return true;
}
