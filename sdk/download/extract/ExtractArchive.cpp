#include "sdk/download/extract/ExtractArchive.h"

#include <new>

#include "sdk/download/extract/ArchiveKind.h"
#include "sdk/download/extract/C7ZipExtractAction.h"
#include "sdk/download/extract/CZipExtractAction.h"
#include "sdk/support/ExtractOutput.h"
#include "sdk/download/extract/IExtractAction.h"

IExtractAction* CreateExtractAction(int32_t kind, ExtractOutput* output) {
    if (kind == kArchive7z)
        return new (std::nothrow) C7ZipExtractAction(output);
    if (kind == kArchiveZip)
        return new (std::nothrow) CZipExtractAction(output);
    return nullptr;
}

int32_t ExtractArchive(int32_t kind, const void* data, int64_t size, const char* folder) {
    ExtractOutput output;
    return ExtractArchiveTo(kind, data, size, folder, output);
}

int32_t ExtractArchiveTo(int32_t kind, const void* data, int64_t size, const char* folder,
                         ExtractOutput& output) {
    IExtractAction* action = CreateExtractAction(kind, &output);
    if (!action)
        return kExtractArchiveFailed;
    const int32_t result = action->Extract(data, size, folder);
    delete action;
    if (result >= 1 && result <= 4)
        return kExtractArchiveFailed;
    if (result == 5)
        return kExtractArchiveActionAnswered5;
    return kExtractArchiveOk;
}
