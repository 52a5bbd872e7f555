#include "sdk/support/zip/ZipFileTarget.h"

#include <string.h>

#include "opn/core/ovCString.h"
#include "opn/platform/pfCodePage.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/support/zip/ZipReader.h"

namespace {

class NarrowFileTarget : public IZipFileTarget {
  public:
    bool Exists(const char* path) override { return FsExists(path); }
    bool CreateFolder(const char* path) override { return FsCreateFolder(path); }
    FsFile* CreateOutputFile(const char* path, uint32_t attributes) override {
        return FsCreateFileForWriting(path, attributes);
    }
};

// A narrow path of fewer than kZipPathSize bytes as UTF-16: through UTF-8,
// whose converter both platforms have. Each byte gives at most one unit, so
// the buffer always has room.
class WidePath {
  public:
    explicit WidePath(const char* narrow) : m_ok(false) {
        m_units[0] = 0;
        ovCString utf8;
        const size_t n = narrow ? strlen(narrow) : 0;
        if (n == 0 || n >= kZipPathSize || !CodePageAnsiToUtf8(narrow, (uint32_t)n, utf8))
            return;
        m_ok = FromUtf8(utf8.CStr(), utf8.Length());
    }
    bool Ok() const { return m_ok; }
    const char16_t* Units() const { return m_units; }

  private:
    // The input is well-formed UTF-8 (the converter replaces bad bytes).
    bool FromUtf8(const char* text, uint32_t length) {
        uint32_t out = 0;
        for (uint32_t i = 0; i < length;) {
            const unsigned char lead = (unsigned char)text[i];
            uint32_t c;
            uint32_t n;
            if (lead < 0x80) {
                c = lead;
                n = 1;
            } else if (lead < 0xE0) {
                c = lead & 0x1F;
                n = 2;
            } else if (lead < 0xF0) {
                c = lead & 0x0F;
                n = 3;
            } else {
                c = lead & 0x07;
                n = 4;
            }
            if (i + n > length)
                return false;
            for (uint32_t k = 1; k < n; ++k)
                c = (c << 6) | ((unsigned char)text[i + k] & 0x3F);
            i += n;
            const uint32_t units = c >= 0x10000 ? 2 : 1;
            if (out + units >= kZipPathSize)
                return false;
            if (units == 2) {
                m_units[out++] = (char16_t)(0xD800 + ((c - 0x10000) >> 10));
                m_units[out++] = (char16_t)(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                m_units[out++] = (char16_t)c;
            }
        }
        m_units[out] = 0;
        return true;
    }

    char16_t m_units[kZipPathSize];
    bool m_ok;
};

class WideFileTarget : public IZipFileTarget {
  public:
    bool Exists(const char* path) override {
        WidePath wide(path);
        return wide.Ok() && FsExistsWide(wide.Units());
    }
    bool CreateFolder(const char* path) override {
        WidePath wide(path);
        return wide.Ok() && FsCreateFolderWide(wide.Units());
    }
    FsFile* CreateOutputFile(const char* path, uint32_t attributes) override {
        WidePath wide(path);
        return wide.Ok() ? FsCreateFileForWritingWide(wide.Units(), attributes) : nullptr;
    }
};

}  // namespace

bool IZipFileTarget::Write(FsFile* file, const void* data, size_t size) {
    return FsWriteFile(file, data, size);
}

bool ZipWidenPath(const char* narrow, char16_t (&out)[kZipPathSize]) {
    WidePath wide(narrow);
    if (!wide.Ok())
        return false;
    memcpy(out, wide.Units(), sizeof out);
    return true;
}

IZipFileTarget& ZipWideFileTarget() {
    static WideFileTarget target;
    return target;
}

IZipFileTarget& ZipNarrowFileTarget() {
    static NarrowFileTarget target;
    return target;
}
