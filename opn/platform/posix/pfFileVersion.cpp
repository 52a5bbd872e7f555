#include "opn/platform/pfFileVersion.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "opn/core/ovCString.h"
#include "opn/platform/posix/pfPath.h"
#include "opn/platform/pfVersionBlock.h"

namespace {

// Korean, the language of the backend's system code page.
const uint16_t kDefaultLang = 0x0412;

// The whole regular file at `path` (at most kVersionFileMaxSize bytes);
// null when it cannot be read.
uint8_t* ReadWhole(const char* path, size_t* size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
        info.st_size > kVersionFileMaxSize) {
        close(fd);
        return nullptr;
    }
    const size_t want = (size_t)info.st_size;
    uint8_t* data = static_cast<uint8_t*>(malloc(want));
    size_t have = 0;
    while (data && have < want) {
        const ssize_t n = read(fd, data + have, want - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        have += (size_t)n;
    }
    close(fd);
    if (data && have == 0) {
        free(data);
        data = nullptr;
    }
    *size = have;
    return data;
}

}  // namespace

bool PfReadFileVersion(const char* path, ovCString& out) {
    out.Clear();
    if (!path || !path[0])
        return false;
    ovCString posix;
    PathToPosix(path, posix);
    size_t size = 0;
    uint8_t* data = ReadWhole(posix.CStr(), &size);
    if (!data)
        return false;
    const bool found = FindVersionBlockFileVersion(data, size, kDefaultLang, out);
    free(data);
    return found;
}
