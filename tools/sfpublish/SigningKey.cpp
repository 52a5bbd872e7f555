#include "tools/sfpublish/SigningKey.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "sdk/support/PublisherSignature.h"
#include "sdk/support/SignatureFile.h"
#include "tools/sfpublish/ToolFiles.h"

namespace sfpublish {

namespace {

// Never asks for a password: a protected key is refused, not prompted for.
int NoPassword(char*, int, int, void*) {
    return -1;
}

}  // namespace

SigningKey::~SigningKey() {
    EVP_PKEY_free(m_key);
}

bool SigningKey::Generate(std::string* error) {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    EVP_PKEY* key = nullptr;
    const bool ok =
        context && EVP_PKEY_keygen_init(context) == 1 && EVP_PKEY_keygen(context, &key) == 1;
    EVP_PKEY_CTX_free(context);
    if (!ok) {
        EVP_PKEY_free(key);
        *error = "cannot make an Ed25519 key";
        return false;
    }
    EVP_PKEY_free(m_key);
    m_key = key;
    return true;
}

bool SigningKey::Load(const std::filesystem::path& path, std::string* error) {
    std::string pem;
    if (!ReadSmallFile(path, kMaxKeyFileBytes, &pem, error))
        return false;
    BIO* bio = BIO_new_mem_buf(pem.data(), (int)pem.size());
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, NoPassword, nullptr) : nullptr;
    BIO_free(bio);
    ERR_clear_error();
    if (!key) {
        *error = Shown(path) + ": not an unencrypted PEM private key";
        return false;
    }
    if (EVP_PKEY_id(key) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(key);
        *error = Shown(path) + ": not an Ed25519 key";
        return false;
    }
    EVP_PKEY_free(m_key);
    m_key = key;
    return true;
}

bool SigningKey::PrivatePem(std::string* pem, std::string* error) const {
    BIO* bio = BIO_new(BIO_s_mem());
    const bool ok =
        bio && m_key &&
        PEM_write_bio_PKCS8PrivateKey(bio, m_key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    char* data = nullptr;
    const long size = ok ? BIO_get_mem_data(bio, &data) : 0;
    if (ok && size > 0)
        pem->assign(data, (size_t)size);
    BIO_free(bio);
    if (!ok || size <= 0) {
        *error = "cannot write the key as PEM";
        return false;
    }
    return true;
}

bool SigningKey::PublicHex(std::string* hex, std::string* error) const {
    unsigned char raw[kPublisherKeySize];
    size_t size = sizeof raw;
    if (!m_key || EVP_PKEY_get_raw_public_key(m_key, raw, &size) != 1 || size != sizeof raw) {
        *error = "cannot read the public key";
        return false;
    }
    *hex = ToHex(raw, size);
    return true;
}

bool SigningKey::Sign(const std::string& bytes, std::string* sig, std::string* error) const {
    unsigned char out[kPublisherSignatureSize];
    size_t size = sizeof out;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool ok =
        context && m_key && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, m_key) == 1 &&
        EVP_DigestSign(context, out, &size, reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size()) == 1 &&
        size == sizeof out;
    EVP_MD_CTX_free(context);
    if (!ok) {
        *error = "cannot sign";
        return false;
    }
    sig->assign(reinterpret_cast<const char*>(out), size);
    return true;
}

bool MakeSignatureFile(const SigningKey& key, const std::string& product, int64_t serial,
                       const std::string& bytes, std::string* sigFile, std::string* error) {
    char header[kSignedHeaderMax];
    const size_t length = WriteSignedHeader(product.c_str(), serial, header, sizeof header);
    if (length == 0) {
        *error =
            "the product must be 1 to 64 letters, digits, '.', '_' or '-' (a letter or digit "
            "first and last) and the serial at most 18 digits";
        return false;
    }
    std::string sig;
    if (!key.Sign(std::string(header, length) + bytes, &sig, error))
        return false;
    *sigFile = std::string(header, length) + "ed25519 " +
               ToHex(reinterpret_cast<const unsigned char*>(sig.data()), sig.size()) + "\n";
    return true;
}

}  // namespace sfpublish
