#include "opn/platform/pfTrustRoots.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace {

// Bundle files of the common distributions, for an OpenSSL whose compiled-in
// default does not point at one.
const char* const kBundles[] = {
    "/etc/ssl/certs/ca-certificates.crt",                 // Debian, Ubuntu, Arch
    "/etc/pki/tls/certs/ca-bundle.crt",                   // Fedora, RHEL
    "/etc/ssl/ca-bundle.pem",                             // openSUSE
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",  // CentOS
    "/etc/ssl/cert.pem",                                  // Alpine, BSDs
};

bool IsFile(const char* path) {
    struct stat info;
    return path && path[0] && stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

int32_t ObjectCount(X509_STORE* store) {
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
    return objects ? (int32_t)sk_X509_OBJECT_num(objects) : 0;
}

}  // namespace

int32_t PfAddSystemTrustRoots(X509_STORE* store) {
    if (!store)
        return -1;
    const int32_t before = ObjectCount(store);

    // The file OpenSSL would load by default: the environment's choice first.
    const char* envFile = getenv(X509_get_default_cert_file_env());
    const char* defaultFile = (envFile && envFile[0]) ? envFile : X509_get_default_cert_file();
    bool loaded = false;
    if (X509_STORE_set_default_paths(store) == 1)
        loaded = IsFile(defaultFile);
    ERR_clear_error();

    for (const char* bundle : kBundles) {
        if (loaded)
            break;
        if (IsFile(bundle) && X509_STORE_load_file(store, bundle) == 1)
            loaded = true;
        ERR_clear_error();
    }
    if (!loaded)
        return -1;
    const int32_t added = ObjectCount(store) - before;
    return added > 0 ? added : 0;
}
