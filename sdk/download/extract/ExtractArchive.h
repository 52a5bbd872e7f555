// Unpacking an engine archive by its kind, for the engine-update downloader.
// Threads: the engine unpack's worker (EngineUnpack.h), outside the library
// lock.
#pragma once

#include <stdint.h>

class ExtractOutput;
class IExtractAction;

// Results of ExtractArchive.
enum ExtractArchiveResult : int32_t {
    kExtractArchiveOk = 0,
    kExtractArchiveFailed = 5,
    // Reserved: an action answered 5.
    kExtractArchiveActionAnswered5 = 6,
};

// The action for a kind of ArchiveKind.h, owned by the caller; null for
// kArchiveNone and unknown kinds, and when memory ran out. It writes through
// `output` (not owned), or with null through an output of its own with the
// default caps.
IExtractAction* CreateExtractAction(int32_t kind, ExtractOutput* output = nullptr);

// Unpacks `data` (`size` bytes) into `folder` with the action of `kind`:
// kExtractArchiveOk, or kExtractArchiveFailed when there is no action for the
// kind or no memory for it (nothing is touched) or the action failed. The
// default caps of ExtractOutput.h apply.
int32_t ExtractArchive(int32_t kind, const void* data, int64_t size, const char* folder);
// The same through `output`, which bounds the extraction and keeps the names
// of the files written.
int32_t ExtractArchiveTo(int32_t kind, const void* data, int64_t size, const char* folder,
                         ExtractOutput& output);
