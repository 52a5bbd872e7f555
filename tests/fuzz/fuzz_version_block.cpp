// Arbitrary bytes as a program file searched for its version block, and as
// a block itself: every read stays inside the bytes, the work is bounded,
// and a version found is a terminated text no longer than a block can hold.
#include <stddef.h>
#include <stdint.h>

#include "opn/core/ovCString.h"
#include "opn/platform/pfVersionBlock.h"

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint16_t languages[] = {0x0412, 0x0409};
    for (uint16_t language : languages) {
        ovCString out;
        if (VersionBlockFileVersion(data, size, language, out))
            Check(out.Length() < 0x10000 && out.CStr()[out.Length()] == '\0');
        else
            Check(out.IsEmpty());
        if (FindVersionBlockFileVersion(data, size, language, out))
            Check(out.Length() < 0x10000);
        else
            Check(out.IsEmpty());
    }
    return 0;
}
