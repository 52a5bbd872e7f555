#include "sdk/download/ExtractArchive.h"

#include "sdk/download/ArchiveKind.h"
#include "sdk/download/C7ZipExtractAction.h"
#include "sdk/download/CZipExtractAction.h"
#include "sdk/download/ExtractOutput.h"
#include "sdk/download/IExtractAction.h"

IExtractAction* CreateExtractAction(int32_t kind, ExtractOutput* output) {
    if (kind == kArchive7z)
        return new C7ZipExtractAction(output);
    if (kind == kArchiveZip)
        return new CZipExtractAction(output);
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
