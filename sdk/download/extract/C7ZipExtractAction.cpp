#include "sdk/download/extract/C7ZipExtractAction.h"

#include "opn/platform/pfFileSystem.h"
#include "sdk/download/extract/ExtractFolder.h"
#include "sdk/download/extract/SevenZipExtraction.h"

int32_t C7ZipExtractAction::Extract(const void* data, int64_t size, const char* folder) {
    if (!data || size <= 0 || !folder || !folder[0])
        return kExtractBadArguments;
    char base[kZipPathSize];
    if (!ComposeExtractFolder(folder, base) || !FsCreateFolders(base))
        return kExtractDecodeFailed;
    const uint32_t length = size > (int64_t)UINT32_MAX ? UINT32_MAX : (uint32_t)size;
    switch (Extract7zToFolder(data, length, base, kSevenZipMemoryLimit, *m_output)) {
        case kSevenZipOk:
            return kExtractOk;
        case kSevenZipNotOpened:
            return kExtractOpenFailed;
        default:
            return kExtractDecodeFailed;
    }
}
