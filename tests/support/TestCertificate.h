// Self-signed certificates made at test time, for the TLS layer and the
// trusted store.
#pragma once

#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace tlstest {

// A self-signed CA certificate with its key.
struct Certificate {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    std::string pem;

    Certificate() = default;
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;
    ~Certificate();

    // `altNames` in OpenSSL's notation, e.g. "DNS:good.example,IP:127.0.0.1";
    // none when null.
    bool Make(const char* commonName, const char* altNames = nullptr);

  private:
    bool AddExtension(X509V3_CTX* v3, int nid, const char* value);
};

}  // namespace tlstest
