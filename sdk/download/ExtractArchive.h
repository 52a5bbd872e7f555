// Unpacking an engine archive by its kind, for the engine-update downloader.
#pragma once

#include <stdint.h>

class IExtractAction;

// Results of ExtractArchive.
enum ExtractArchiveResult : int32_t {
    kExtractArchiveOk = 0,
    kExtractArchiveFailed = 5,
    // Reserved: an action answered 5.
    kExtractArchiveActionAnswered5 = 6,
};

// The action for a kind of ArchiveKind.h, owned by the caller; null for
// kArchiveNone and unknown kinds.
IExtractAction* CreateExtractAction(int32_t kind);

// Unpacks `data` (`size` bytes) into `folder` with the action of `kind`:
// kExtractArchiveOk, or kExtractArchiveFailed when there is no action for the
// kind (nothing is touched) or the action failed.
int32_t ExtractArchive(int32_t kind, const void* data, int64_t size, const char* folder);
