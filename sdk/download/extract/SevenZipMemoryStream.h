// A seekable LZMA SDK input stream over a byte block in memory. Reading
// fails once its output (if any) is cancelled, which stops the decoder within
// one look-ahead buffer.
//
// Threads: the decoder's, on the engine unpack's worker; no lock.
#pragma once

#include <stddef.h>

extern "C" {
#include "7zTypes.h"
}

class ExtractOutput;

struct SevenZipMemoryStream {
    ISeekInStream vt;
    const unsigned char* data;
    size_t size;
    size_t pos;
    const ExtractOutput* output;
};

// Points `stream` at the start of `size` bytes at `data`; `output` may be
// null (nothing can cancel the reads then).
void SevenZipMemoryStreamInit(SevenZipMemoryStream& stream, const void* data, size_t size,
                              const ExtractOutput* output);
