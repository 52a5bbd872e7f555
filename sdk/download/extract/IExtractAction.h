// An extraction action: unpacks one archive held in memory into a folder.
// The engine-update downloader picks the action from the archive's kind
// (ArchiveKind.h) through ExtractArchive (ExtractArchive.h).
//
// Threads: an action runs on the engine unpack's worker (EngineUnpack.h),
// outside the library lock.
#pragma once

#include <stdint.h>

// Results of IExtractAction::Extract.
enum ExtractResult : int32_t {
    kExtractOk = 0,
    // The archive opened, but an entry could not be decoded or written (7z).
    kExtractDecodeFailed = 1,
    // The archive could not be opened (7z).
    kExtractOpenFailed = 2,
    kExtractBadArguments = 3,
    // The archive could not be opened, or an entry could not be written (zip).
    kExtractEntryFailed = 4,
};

class IExtractAction {
  public:
    // `data` holds the whole archive of `size` bytes; `folder` is a path in
    // the system code page, relative paths meaning below the current folder.
    // Every entry lands below `folder`; entries written before a failure stay.
    virtual int32_t Extract(const void* data, int64_t size, const char* folder) = 0;
    virtual ~IExtractAction() {}
};
