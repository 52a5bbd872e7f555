#include "sdk/download/ExtractArchive.h"

#include "sdk/download/ArchiveKind.h"
#include "sdk/download/C7ZipExtractAction.h"
#include "sdk/download/CZipExtractAction.h"
#include "sdk/download/IExtractAction.h"

IExtractAction* CreateExtractAction(int32_t kind) {
    if (kind == kArchive7z)
        return new C7ZipExtractAction();
    if (kind == kArchiveZip)
        return new CZipExtractAction();
    return nullptr;
}

int32_t ExtractArchive(int32_t kind, const void* data, int64_t size, const char* folder) {
    IExtractAction* action = CreateExtractAction(kind);
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
