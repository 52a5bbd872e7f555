#include "sdk/download/extract/CZipExtractAction.h"

#include "sdk/download/extract/ExtractFolder.h"
#include "sdk/support/zip/ZipReader.h"

namespace {

// The entry count and the sum of the declared sizes; false when an entry
// cannot be described (it could not be extracted either).
bool DeclaredSizes(ZipHandle* zip, int32_t* count, int64_t* bytes) {
    ZipEntry entry;
    ZipGetEntry(zip, -1, &entry);
    *count = entry.index;
    *bytes = 0;
    for (int32_t i = 0; i < *count; ++i) {
        if (ZipGetEntry(zip, i, &entry) != ZipOk)
            return false;
        *bytes += (uint32_t)entry.uncompressedSize;
    }
    return true;
}

}  // namespace

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
    int32_t count = 0;
    int64_t declared = 0;
    if (!DeclaredSizes(zip, &count, &declared) || !m_output->Admit(base, count, declared)) {
        ZipClose(zip);
        return kExtractEntryFailed;
    }
    for (int32_t i = 0; i < count; ++i) {
        ZipEntry entry;
        char target[kZipPathSize];
        if (ZipGetEntry(zip, i, &entry) != ZipOk ||
            ZipComposeTarget(base, entry.name, target) != ZipOk ||
            ZipExtractEntryTo(zip, i, target, *m_output) != ZipOk) {
            ZipClose(zip);
            return kExtractEntryFailed;
        }
    }
    ZipClose(zip);
    return kExtractOk;
}
