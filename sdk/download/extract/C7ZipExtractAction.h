// Unpacks a 7z archive with the LZMA SDK's decoder (SevenZipExtraction.h).
// Threads: the engine unpack's worker (EngineUnpack.h), outside the library
// lock; one action on one thread.
#pragma once

#include "sdk/support/ExtractOutput.h"
#include "sdk/download/extract/IExtractAction.h"

class C7ZipExtractAction : public IExtractAction {
  public:
    // Writes through `output` (not owned); without one, through an output of
    // its own with the default caps.
    explicit C7ZipExtractAction(ExtractOutput* output = nullptr)
        : m_output(output ? output : &m_ownOutput) {}

    // Creates the folder and the folders above it, then unpacks the first
    // 4 GiB - 1 bytes of `data` at most: kExtractOk, kExtractBadArguments
    // (no data, a size of 0 or less, no folder), kExtractOpenFailed, or
    // kExtractDecodeFailed when the folder cannot be made, the output
    // refuses the archive (ExtractOutput.h) or an entry fails.
    int32_t Extract(const void* data, int64_t size, const char* folder) override;

  private:
    ExtractOutput m_ownOutput;
    ExtractOutput* m_output;
};
