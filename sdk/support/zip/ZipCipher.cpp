#include "sdk/support/zip/ZipCipher.h"

#include <zlib.h>

namespace {

uint32_t CrcStep(uint32_t crc, uint8_t byte) {
    static const z_crc_t* const table = get_crc_table();
    return (uint32_t)table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

}  // namespace

ZipCipher::ZipCipher(const char* password) {
    m_keys[0] = 0x12345678u;
    m_keys[1] = 0x23456789u;
    m_keys[2] = 0x34567890u;
    if (password)
        for (const char* p = password; *p; ++p)
            Update((uint8_t)*p);
}

void ZipCipher::Update(uint8_t plain) {
    m_keys[0] = CrcStep(m_keys[0], plain);
    m_keys[1] = (m_keys[1] + (m_keys[0] & 0xFF)) * 134775813u + 1;
    m_keys[2] = CrcStep(m_keys[2], (uint8_t)(m_keys[1] >> 24));
}

void ZipCipher::Decrypt(uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const uint32_t t = (m_keys[2] | 2) & 0xFFFF;
        const uint8_t plain = (uint8_t)(data[i] ^ (uint8_t)((t * (t ^ 1)) >> 8));
        data[i] = plain;
        Update(plain);
    }
}
