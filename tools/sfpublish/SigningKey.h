// The publisher's Ed25519 private key: made, read from its PEM file (PKCS#8)
// and used to sign. The public half's 64 hex digits are what the library is
// built with (SF_PUBLISHER_KEY).
#pragma once

#include <filesystem>
#include <string>

typedef struct evp_pkey_st EVP_PKEY;

namespace sfpublish {

// A key file is a few hundred bytes; anything far larger is not one.
const uint64_t kMaxKeyFileBytes = 16 * 1024;

class SigningKey {
  public:
    SigningKey() = default;
    ~SigningKey();
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;

    // A fresh key.
    bool Generate(std::string* error);
    // Reads an unencrypted Ed25519 private key in PEM; anything else (another
    // key type, a password-protected key, garbage) is refused.
    bool Load(const std::filesystem::path& path, std::string* error);

    // The private key as PEM (PKCS#8, "BEGIN PRIVATE KEY").
    bool PrivatePem(std::string* pem, std::string* error) const;
    // The public key's 64 lower-case hex digits.
    bool PublicHex(std::string* hex, std::string* error) const;
    // The 64-byte signature over `bytes`.
    bool Sign(const std::string& bytes, std::string* sig, std::string* error) const;

  private:
    EVP_PKEY* m_key = nullptr;
};

// The signature file (sdk/support/SignatureFile.h) for `bytes`, signed for
// `product` with `serial`.
bool MakeSignatureFile(const SigningKey& key, const std::string& product, int64_t serial,
                       const std::string& bytes, std::string* sigFile, std::string* error);

}  // namespace sfpublish
