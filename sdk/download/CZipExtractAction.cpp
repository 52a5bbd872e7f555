#include "sdk/download/CZipExtractAction.h"

#include "sdk/download/ExtractFolder.h"
#include "sdk/support/zip/ZipFileTarget.h"
#include "sdk/support/zip/ZipReader.h"

int32_t CZipExtractAction::Extract(const void* data, int64_t size, const char* folder) {
    if (!data || size <= 0 || !folder || !folder[0])
        return kExtractBadArguments;
    char base[kZipPathSize];
    // The reader takes a 32-bit length; a cut length would read another archive.
    if (size > (int64_t)UINT32_MAX || !ComposeExtractFolder(folder, base))
        return kExtractEntryFailed;
    ZipHandle* zip = ZipOpenMemory(data, (uint32_t)size, nullptr);
    if (!zip)
        return kExtractEntryFailed;
    ZipEntry entry;
    ZipGetEntry(zip, -1, &entry);
    const int32_t count = entry.index;
    for (int32_t i = 0; i < count; ++i) {
        char target[kZipPathSize];
        if (ZipGetEntry(zip, i, &entry) != ZipOk ||
            ZipComposeTarget(base, entry.name, target) != ZipOk ||
            ZipExtractEntryTo(zip, i, target, ZipWideFileTarget()) != ZipOk) {
            ZipClose(zip);
            return kExtractEntryFailed;
        }
    }
    ZipClose(zip);
    return kExtractOk;
}
