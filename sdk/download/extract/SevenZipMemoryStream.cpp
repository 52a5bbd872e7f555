#include "sdk/download/extract/SevenZipMemoryStream.h"

#include <string.h>

#include "sdk/support/ExtractOutput.h"

namespace {

SRes MemoryRead(ISeekInStreamPtr p, void* buf, size_t* size) noexcept {
    SevenZipMemoryStream* s = Z7_CONTAINER_FROM_VTBL(p, SevenZipMemoryStream, vt);
    if (s->output && s->output->Cancelled())
        return SZ_ERROR_READ;
    size_t n = s->size - s->pos;
    if (*size < n)
        n = *size;
    memcpy(buf, s->data + s->pos, n);
    s->pos += n;
    *size = n;
    return SZ_OK;
}

SRes MemorySeek(ISeekInStreamPtr p, Int64* pos, ESzSeek origin) noexcept {
    SevenZipMemoryStream* s = Z7_CONTAINER_FROM_VTBL(p, SevenZipMemoryStream, vt);
    const Int64 base = origin == SZ_SEEK_SET   ? 0
                       : origin == SZ_SEEK_CUR ? (Int64)s->pos
                                               : (Int64)s->size;
    if (*pos > (Int64)s->size || *pos < -(Int64)s->size)
        return SZ_ERROR_PARAM;
    const Int64 target = base + *pos;
    if (target < 0 || target > (Int64)s->size)
        return SZ_ERROR_PARAM;
    s->pos = (size_t)target;
    *pos = target;
    return SZ_OK;
}

}  // namespace

void SevenZipMemoryStreamInit(SevenZipMemoryStream& stream, const void* data, size_t size,
                              const ExtractOutput* output) {
    stream.vt.Read = MemoryRead;
    stream.vt.Seek = MemorySeek;
    stream.data = (const unsigned char*)data;
    stream.size = size;
    stream.pos = 0;
    stream.output = output;
}
