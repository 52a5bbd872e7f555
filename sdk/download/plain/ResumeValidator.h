// The validator a partial file without a hash is continued under: the
// server's strong ETag, or its Last-Modified when it sent no ETag, sent back
// as If-Range with the Range of the rest. A server that no longer has those
// bytes answers 200 with the whole file, which is then written from byte 0.
// A weak or malformed ETag, or no validator at all, gives none: the file is
// then fetched from byte 0 each time.
//
// The validator is kept beside the partial file, in "<name>.part.part", so a
// later run continues too. That name is never a listed file's name nor its
// partial file's (a listed name never ends in ".part"). What is there is
// hostile: it is read only as a sole file (pfFile.h) of at most
// kResumeValidatorFileMax bytes holding the magic line and one validator of
// kMaxResumeValidator printable ASCII characters; anything else is removed
// and the partial file is not continued.
//
// Threads: functions without state: any thread, no lock.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "opn/core/ovCString.h"

const uint32_t kMaxResumeValidator = 256;
// The magic line, the validator and its line end.
const uint32_t kResumeValidatorFileMax = 512;
// Appended to the partial file's path.
const char kResumeValidatorSuffix[] = ".part";

// Whether `length` bytes at `text` may go out as an If-Range value: 1 to
// kMaxResumeValidator printable ASCII characters, no blank at either end.
bool IsResumeValidator(const char* text, size_t length);

// The validator of an answer head from its ETag and Last-Modified values
// (null when the header is absent). False, with `out` empty, when there is
// none usable.
bool ResumeValidatorOf(const ovCString* etag, const ovCString* lastModified, ovCString& out);

// The validator kept for the partial file at `partPath`; false (with `out`
// empty) when there is none or what is there is unusable (then removed).
bool LoadResumeValidator(const char* partPath, ovCString& out);
// Keeps `validator` for the partial file, replacing what was kept; false
// when it could not be kept (nothing is left then).
bool SaveResumeValidator(const char* partPath, const char* validator);
// Removes whatever is at the validator's name.
void RemoveResumeValidator(const char* partPath);
