#include "opn/platform/pfTrustRoots.h"

// wincrypt.h defines names OpenSSL uses as types; OpenSSL's headers undo
// them, so they come after it.
#include <windows.h>
#include <wincrypt.h>

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace {

// Bound on the walk over the system store.
const int32_t kMaxRoots = 100000;

}  // namespace

int32_t PfAddSystemTrustRoots(X509_STORE* store) {
    if (!store)
        return -1;
    HCERTSTORE system = CertOpenSystemStoreA(0, "ROOT");
    if (!system)
        return -1;
    int32_t added = 0;
    PCCERT_CONTEXT entry = nullptr;
    for (int32_t i = 0; i < kMaxRoots; ++i) {
        entry = CertEnumCertificatesInStore(system, entry);
        if (!entry)
            break;
        if ((entry->dwCertEncodingType & X509_ASN_ENCODING) == 0 || !entry->pbCertEncoded ||
            entry->cbCertEncoded == 0 || entry->cbCertEncoded > 0x7FFFFFFF)
            continue;
        const unsigned char* der = entry->pbCertEncoded;
        X509* certificate = d2i_X509(nullptr, &der, (long)entry->cbCertEncoded);
        if (!certificate)
            continue;
        // The store takes its own reference; a duplicate is not an error.
        if (X509_STORE_add_cert(store, certificate) == 1)
            ++added;
        X509_free(certificate);
    }
    // Ending the walk early leaves the last entry to be freed here.
    if (entry)
        CertFreeCertificateContext(entry);
    CertCloseStore(system, 0);
    ERR_clear_error();
    return added;
}
