#include "sdk/download/HeldFile.h"

#include "opn/platform/pfFile.h"
#include "sdk/download/FileDigest.h"

HeldFile::~HeldFile() {
    Close();
}

bool HeldFile::Open(const char* path) {
    Close();
    // Only a sole file: a link or a second name could lead to bytes that
    // change elsewhere, or are not the file downloaded.
    m_file = PfFileOpenSole(path, kPfSoleHeld, nullptr);
    return m_file != nullptr;
}

bool HeldFile::HasContent(int64_t size, const uint8_t sha256[kSha256Size], int64_t* length) {
    return m_file && OpenFileHasContent(m_file, size, sha256, length);
}

void HeldFile::Close() {
    PfFileClose(m_file);
    m_file = nullptr;
}
