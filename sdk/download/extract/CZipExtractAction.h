// Unpacks a zip archive with the zip reader, writing through UTF-16 paths.
// Threads: the engine unpack's worker (EngineUnpack.h), outside the library
// lock; one action on one thread.
#pragma once

#include "sdk/support/ExtractOutput.h"
#include "sdk/download/extract/IExtractAction.h"

class CZipExtractAction : public IExtractAction {
  public:
    // Writes through `output` (not owned); without one, through an output of
    // its own with the default caps.
    explicit CZipExtractAction(ExtractOutput* output = nullptr)
        : m_output(output ? output : &m_ownOutput) {}

    // kExtractOk when every entry was written; kExtractBadArguments for no
    // data, a size of 0 or less, or no folder; kExtractEntryFailed when the
    // archive cannot be opened (also above 4 GiB - 1), an entry cannot be
    // described, the output refuses what the entries declare (nothing is
    // written then; ExtractOutput.h), or at the first entry that cannot be
    // written (the ones before it stay).
    int32_t Extract(const void* data, int64_t size, const char* folder) override;

  private:
    ExtractOutput m_ownOutput;
    ExtractOutput* m_output;
};
