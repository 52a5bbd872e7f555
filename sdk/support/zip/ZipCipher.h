// The traditional PKWARE stream cipher of zip entries ("ZipCrypto"): three
// 32-bit keys started from fixed values and stirred with each password byte,
// then with each decrypted byte. It protects nothing by today's measures; the
// reader supports it to read such archives, not to keep secrets.
#pragma once

#include <stddef.h>
#include <stdint.h>

class ZipCipher {
  public:
    // Keys set up from the password; a null password leaves the start values.
    explicit ZipCipher(const char* password);

    // Decrypts in place.
    void Decrypt(uint8_t* data, size_t size);

  private:
    void Update(uint8_t plain);

    uint32_t m_keys[3];
};
