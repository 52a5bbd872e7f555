// Arbitrary bytes as a zip archive: opened, every entry described, extracted
// into a scratch folder, listed and unpacked whole. No crash, no read past the
// block, no file outside the scratch folder, and no file larger than its
// entry's stated size.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "sdk/support/StringList.h"
#include "sdk/support/zip/ZipFolder.h"
#include "sdk/support/zip/ZipReader.h"

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// <root>/inside is where entries go; <root> must only ever hold it. Removed
// when the fuzzer ends.
class Scratch {
  public:
    Scratch() {
        char pattern[] = "/tmp/fuzz-zip-XXXXXX";
        Check(mkdtemp(pattern) != nullptr);
        root = pattern;
        inside = root + "/inside";
        insideWin = "Z:" + inside + "/";
        for (char& c : insideWin)
            if (c == '/')
                c = '\\';
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }

    std::string root;
    std::string inside;
    std::string insideWin;  // the library's Windows form, with a final '\'
};

const Scratch& GetScratch() {
    static Scratch scratch;
    return scratch;
}

void CheckNothingEscaped(const Scratch& s) {
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(s.root, ec))
        Check(item.path().filename() == "inside");
    std::filesystem::remove_all(s.inside, ec);
}

void ExtractEach(const uint8_t* data, size_t size, const Scratch& s) {
    ZipHandle* zip = ZipOpenMemory(data, (uint32_t)size, nullptr);
    if (!zip)
        return;
    ZipEntry entry;
    Check(ZipGetEntry(zip, -1, &entry) == ZipOk);
    const int32_t count = entry.index;
    Check(count >= 0 && count <= 0xFFFF);
    for (int32_t i = 0; i < count && i < 64; ++i) {
        if (ZipGetEntry(zip, i, &entry) != ZipOk)
            continue;
        Check(strlen(entry.name) < kZipPathSize);
        char target[kZipPathSize];
        if (ZipComposeTarget(s.insideWin.c_str(), entry.name, target) != ZipOk)
            continue;
        ZipExtractEntry(zip, i, target);
        if (entry.attributes & kZipAttributeDirectory)
            continue;
        std::string native(target + 2);  // drop "Z:"
        for (char& c : native)
            if (c == '\\')
                c = '/';
        struct stat st;
        if (stat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            Check((uint64_t)st.st_size <= (uint32_t)entry.uncompressedSize);
    }
    ZipClose(zip);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20)
        return 0;
    const Scratch& s = GetScratch();
    ExtractEach(data, size, s);
    CheckNothingEscaped(s);

    StringList names;
    ListZipEntries(names, data, (int64_t)size);
    for (int32_t i = 0; i < names.Count(); ++i)
        Check(strlen(names.At(i)) < kZipPathSize);
    UnzipAllToFolder(s.insideWin.c_str(), data, (int64_t)size);
    CheckNothingEscaped(s);
    return 0;
}
