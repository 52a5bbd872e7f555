#include "sdk/download/HeldFile.h"

#include "opn/platform/pfFile.h"
#include "sdk/download/FileDigest.h"

HeldFile::~HeldFile() {
    Close();
}

bool HeldFile::Open(const char* path) {
    Close();
    m_file = PfFileOpenHeld(path, nullptr);
    return m_file != nullptr;
}

bool HeldFile::HasContent(int64_t size, const uint8_t sha256[kSha256Size], int64_t* length) {
    return m_file && OpenFileHasContent(m_file, size, sha256, length);
}

void HeldFile::Close() {
    PfFileClose(m_file);
    m_file = nullptr;
}
