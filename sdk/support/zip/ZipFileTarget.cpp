#include "sdk/support/zip/ZipFileTarget.h"

#include "opn/platform/pfFileSystem.h"

namespace {

class NarrowFileTarget : public IZipFileTarget {
  public:
    bool Exists(const char* path) override { return FsExists(path); }
    bool CreateFolder(const char* path) override { return FsCreateFolder(path); }
    FsFile* CreateOutputFile(const char* path, uint32_t attributes) override {
        return FsCreateFileForWriting(path, attributes);
    }
};

}  // namespace

IZipFileTarget& ZipNarrowFileTarget() {
    static NarrowFileTarget target;
    return target;
}
