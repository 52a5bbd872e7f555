#include "support/TestCertificate.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace tlstest {

Certificate::~Certificate() {
    X509_free(cert);
    EVP_PKEY_free(key);
}

bool Certificate::Make(const char* commonName, const char* altNames) {
    key = EVP_EC_gen("P-256");
    cert = X509_new();
    if (!key || !cert)
        return false;
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    const bool extended = AddExtension(&v3, NID_basic_constraints, "critical,CA:TRUE") &&
                          (!altNames || AddExtension(&v3, NID_subject_alt_name, altNames));
    if (!extended || X509_sign(cert, key, EVP_sha256()) <= 0)
        return false;
    BIO* out = BIO_new(BIO_s_mem());
    if (!out || PEM_write_bio_X509(out, cert) != 1) {
        BIO_free(out);
        return false;
    }
    char* text = nullptr;
    const long n = BIO_get_mem_data(out, &text);
    pem.assign(text, (size_t)n);
    BIO_free(out);
    return true;
}

bool Certificate::AddExtension(X509V3_CTX* v3, int nid, const char* value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, v3, nid, value);
    if (!ext)
        return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

}  // namespace tlstest
