#include "sdk/download/engine/SeenSerial.h"

#include <stdio.h>

#include "opn/core/ovCString.h"
#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/support/SignatureFile.h"

namespace {

bool SerialPath(const char* engineFolder, const char* product, ovCString& path) {
    return engineFolder && product && path.Assign(engineFolder) && path.Append("config\\serial-") &&
           path.Append(product);
}

}  // namespace

int64_t ReadSeenSerial(const char* engineFolder, const char* product) {
    ovCString path;
    if (!SerialPath(engineFolder, product, path))
        return 0;
    PfFile* file = PfFileOpenForReading(path.CStr(), nullptr);
    if (!file)
        return 0;
    char text[kSerialDigitsMax + 1];
    const int64_t got = PfFileRead(file, text, sizeof text, nullptr);
    PfFileClose(file);
    if (got <= 0 || got > (int64_t)kSerialDigitsMax)
        return 0;
    int64_t serial = 0;
    for (int64_t i = 0; i < got; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        serial = serial * 10 + (text[i] - '0');
    }
    return serial;
}

bool StoreSeenSerial(const char* engineFolder, const char* product, int64_t serial) {
    ovCString folder, path, staged;
    if (serial < 0 || !SerialPath(engineFolder, product, path) || !folder.Assign(engineFolder) ||
        !folder.Append("config\\") || !FsCreateFolders(folder.CStr()) || !staged.Assign(path) ||
        !staged.Append(".new"))
        return false;
    char text[kSerialDigitsMax + 2];
    const int length = snprintf(text, sizeof text, "%lld", (long long)serial);
    if (length <= 0 || length > (int)kSerialDigitsMax)
        return false;
    PfFile* file = PfFileCreateAlways(staged.CStr(), nullptr);
    if (!file)
        return false;
    const bool written = PfFileWrite(file, text, (size_t)length, nullptr);
    PfFileClose(file);
    if (!written || !PfFileMoveReplacing(staged.CStr(), path.CStr(), nullptr)) {
        FsDeleteFile(staged.CStr());
        return false;
    }
    return true;
}
