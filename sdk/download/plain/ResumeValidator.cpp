#include "sdk/download/plain/ResumeValidator.h"

#include <string.h>

#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"

namespace {

const char kMagic[] = "SwarmFetch If-Range 1\n";
const size_t kMagicLength = sizeof kMagic - 1;

bool PathOf(const char* partPath, ovCString& out) {
    return partPath && partPath[0] && out.Assign(partPath) && out.Append(kResumeValidatorSuffix);
}

bool IsStrongEntityTag(const char* text, size_t length) {
    if (length < 2 || text[0] != '"' || text[length - 1] != '"')
        return false;
    for (size_t i = 1; i + 1 < length; ++i) {
        const unsigned char c = (unsigned char)text[i];
        if (c != 0x21 && (c < 0x23 || c > 0x7E))
            return false;
    }
    return true;
}

}  // namespace

bool IsResumeValidator(const char* text, size_t length) {
    if (!text || length == 0 || length > kMaxResumeValidator)
        return false;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = (unsigned char)text[i];
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return text[0] != ' ' && text[length - 1] != ' ';
}

bool ResumeValidatorOf(const ovCString* etag, const ovCString* lastModified, ovCString& out) {
    out.Clear();
    // An entity tag that is there decides: a weak one may not be sent in
    // If-Range, and a date is then no stronger.
    if (etag) {
        const bool strong = IsStrongEntityTag(etag->CStr(), etag->Length()) &&
                            IsResumeValidator(etag->CStr(), etag->Length());
        return strong && out.Assign(*etag);
    }
    // A quote would read as an entity tag at the server.
    if (lastModified && lastModified->Length() > 0 && lastModified->CStr()[0] != '"' &&
        IsResumeValidator(lastModified->CStr(), lastModified->Length()))
        return out.Assign(*lastModified);
    return false;
}

bool LoadResumeValidator(const char* partPath, ovCString& out) {
    out.Clear();
    ovCString path;
    if (!PathOf(partPath, path))
        return false;
    int32_t error = kPfErrorNone;
    PfFile* file = PfFileOpenSole(path.CStr(), kPfSoleRead, &error);
    if (!file) {
        if (error != kPfErrorFileNotFound && error != kPfErrorPathNotFound)
            RemoveResumeValidator(partPath);
        return false;
    }
    char text[kResumeValidatorFileMax + 1];
    size_t have = 0;
    bool ok = PfFileSeekEnd(file) <= (int64_t)kResumeValidatorFileMax && PfFileSeekStart(file);
    while (ok && have < sizeof text) {
        const int64_t n = PfFileRead(file, text + have, sizeof text - have, nullptr);
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        have += (size_t)n;
    }
    PfFileClose(file);
    // The magic line, then one validator line and nothing after it.
    ok = ok && have <= kResumeValidatorFileMax && have > kMagicLength + 1 &&
         memcmp(text, kMagic, kMagicLength) == 0 && text[have - 1] == '\n' &&
         IsResumeValidator(text + kMagicLength, have - kMagicLength - 1) &&
         out.Assign(text + kMagicLength, (uint32_t)(have - kMagicLength - 1));
    if (!ok) {
        out.Clear();
        RemoveResumeValidator(partPath);
    }
    return ok;
}

bool SaveResumeValidator(const char* partPath, const char* validator) {
    ovCString path;
    const size_t length = validator ? strlen(validator) : 0;
    if (!PathOf(partPath, path) || !IsResumeValidator(validator, length)) {
        RemoveResumeValidator(partPath);
        return false;
    }
    // One write of the whole text: a file system call per line costs.
    char text[kResumeValidatorFileMax];
    static_assert(kMagicLength + kMaxResumeValidator + 1 <= sizeof text, "text fits");
    memcpy(text, kMagic, kMagicLength);
    memcpy(text + kMagicLength, validator, length);
    text[kMagicLength + length] = '\n';
    // Emptied, or created new; a link at the name is replaced, never followed.
    PfFile* file = PfFileOpenSole(path.CStr(), kPfSoleEmpty, nullptr);
    const bool ok = file && PfFileWrite(file, text, kMagicLength + length + 1, nullptr);
    PfFileClose(file);
    if (!ok)
        RemoveResumeValidator(partPath);
    return ok;
}

void RemoveResumeValidator(const char* partPath) {
    ovCString path;
    if (PathOf(partPath, path))
        FsDeleteFile(path.CStr());
}
