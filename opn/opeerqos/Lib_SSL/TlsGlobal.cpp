#include "opn/opeerqos/Lib_SSL/TlsGlobal.h"

#include <string.h>

#include <atomic>
#include <new>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "opn/core/ovCPtrList.h"
#include "opn/opeerqos/Lib_SSL/TlsClientContext.h"
#include "opn/platform/pfTrustRoots.h"
#include "opn/core/ovLog.h"

namespace {

struct TrustedRecord {
    char name[kTlsMaxCertificateName + 1];
    X509* certificate;
};

BIO_METHOD* g_bioMethod = nullptr;
// A method TlsCleanup could not free because sessions still used it.
BIO_METHOD* g_retiredBioMethod = nullptr;
std::atomic<int32_t> g_openSessions{0};
int32_t g_openAtLastCleanup = 0;
ovCPtrList g_trusted;  // TrustedRecord*, owned
X509_STORE* g_store = nullptr;
X509_STORE* g_verifyStore = nullptr;  // system roots + trusted certificates
int32_t g_systemRoots = 0;

int BioWrite(BIO* bio, const char* data, int length) noexcept {
    BIO_clear_retry_flags(bio);
    if (!data || length < 0)
        return -1;
    TlsBioChannel* channel = static_cast<TlsBioChannel*>(BIO_get_data(bio));
    if (channel && channel->send && length > 0)
        channel->send(data, length, channel->user);
    return length;
}

int BioRead(BIO* bio, char* out, int size) noexcept {
    BIO_clear_retry_flags(bio);
    TlsBioChannel* channel = static_cast<TlsBioChannel*>(BIO_get_data(bio));
    if (out && size > 0 && channel && channel->input && channel->inputTaken >= 0 &&
        channel->inputTaken < channel->inputLength) {
        int32_t n = channel->inputLength - channel->inputTaken;
        if (n > size)
            n = size;
        memcpy(out, channel->input + channel->inputTaken, (size_t)n);
        channel->inputTaken += n;
        return n;
    }
    BIO_set_retry_read(bio);
    return -1;
}

int BioPuts(BIO* bio, const char* text) noexcept {
    if (!text)
        return BioWrite(bio, nullptr, 0);
    size_t length = strlen(text);
    if (length > (size_t)INT32_MAX)
        return -1;
    return BioWrite(bio, text, (int)length);
}

long BioCtrl(BIO* bio, int command, long number, void* pointer) noexcept {
    (void)pointer;
    switch (command) {
        case BIO_CTRL_GET_CLOSE:
            return BIO_get_shutdown(bio);
        case BIO_CTRL_SET_CLOSE:
            BIO_set_shutdown(bio, (int)number);
            return 1;
        case BIO_CTRL_FLUSH:
        case BIO_CTRL_DUP:
            return 1;
        default:
            return 0;
    }
}

int BioCreate(BIO* bio) noexcept {
    BIO_set_shutdown(bio, 1);
    BIO_set_init(bio, 1);
    return 1;
}

int BioDestroy(BIO* bio) noexcept {
    (void)bio;
    return 1;
}

BIO_METHOD* CreateBioMethod() {
    BIO_METHOD* method = BIO_meth_new(0, "orvane BIO");
    if (!method)
        return nullptr;
    if (BIO_meth_set_write(method, &BioWrite) != 1 || BIO_meth_set_read(method, &BioRead) != 1 ||
        BIO_meth_set_puts(method, &BioPuts) != 1 || BIO_meth_set_ctrl(method, &BioCtrl) != 1 ||
        BIO_meth_set_create(method, &BioCreate) != 1 ||
        BIO_meth_set_destroy(method, &BioDestroy) != 1) {
        BIO_meth_free(method);
        return nullptr;
    }
    return method;
}

// One certificate from the PEM text, or null.
X509* ReadCertificate(const char* pemText) {
    size_t length = strlen(pemText);
    if (length == 0 || length > (size_t)INT32_MAX)
        return nullptr;
    BIO* bio = BIO_new_mem_buf(pemText, (int)length);
    if (!bio)
        return nullptr;
    X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    // A failed read leaves its reason on the thread's error queue; it is
    // answered with a code here, so the queue is cleared for the next caller.
    if (!certificate)
        ERR_clear_error();
    return certificate;
}

}  // namespace

ResultCode TlsStartup() {
    if (OPENSSL_init_ssl(0, nullptr) != 1)
        return OV_E_PLATFORM;
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                         nullptr) != 1)
        return OV_E_PLATFORM;
    if (OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr) !=
        1)
        return OV_E_PLATFORM;
    if (!g_bioMethod)
        g_bioMethod = CreateBioMethod();
    return g_bioMethod ? OV_S_PLATFORM : OV_E_PLATFORM;
}

ResultCode TlsCleanup() {
    TlsClientContextReset();
    for (ovCPtrList::Node* node = g_trusted.HeadNode(); node; node = node->next) {
        TrustedRecord* record = static_cast<TrustedRecord*>(node->element);
        X509_free(record->certificate);
        delete record;
    }
    g_trusted.RemoveAll();
    if (g_store) {
        X509_STORE_free(g_store);
        g_store = nullptr;
    }
    if (g_verifyStore) {
        X509_STORE_free(g_verifyStore);
        g_verifyStore = nullptr;
    }
    g_systemRoots = 0;
    g_openAtLastCleanup = g_openSessions.load();
    if (g_openAtLastCleanup > 0) {
        ovLogPrintf("[SwarmFetchLib] TLS clean-up with %d sessions still open\n",
                    (int)g_openAtLastCleanup);
        if (g_bioMethod && !g_retiredBioMethod) {
            g_retiredBioMethod = g_bioMethod;
            g_bioMethod = nullptr;
        }
    }
    if (g_bioMethod) {
        BIO_meth_free(g_bioMethod);
        g_bioMethod = nullptr;
    }
    return OV_S_PLATFORM;
}

int32_t TlsOpenSessionCount() {
    return g_openSessions.load();
}

int32_t TlsSessionsOpenAtLastCleanup() {
    return g_openAtLastCleanup;
}

void TlsNoteSessionOpened() {
    g_openSessions.fetch_add(1);
}

void TlsNoteSessionClosed() {
    if (g_openSessions.fetch_sub(1) == 1 && g_retiredBioMethod) {
        BIO_meth_free(g_retiredBioMethod);
        g_retiredBioMethod = nullptr;
    }
}

ResultCode AddTrustedCertificate(const char* name, const char* pemText) {
    if (!name || !pemText)
        return OV_E_PLATFORM;
    const size_t nameLength = strlen(name);
    if (nameLength > (size_t)kTlsMaxCertificateName)
        return OV_E_PLATFORM;
    X509* certificate = ReadCertificate(pemText);
    if (!certificate)
        return OV_E_PLATFORM;

    TrustedRecord* record = new (std::nothrow) TrustedRecord;
    if (!record) {
        X509_free(certificate);
        return OV_E_PLATFORM;
    }
    memcpy(record->name, name, nameLength);
    record->name[nameLength] = '\0';
    record->certificate = certificate;
    if (!g_trusted.AddTail(record)) {
        X509_free(certificate);
        delete record;
        return OV_E_PLATFORM;
    }
    // The store takes its own reference. When it cannot be had, the list still
    // holds the certificate and the store is rebuilt on the next request.
    if (g_store && X509_STORE_add_cert(g_store, certificate) != 1) {
        ERR_clear_error();
        X509_STORE_free(g_store);
        g_store = nullptr;
    }
    // A store that cannot take it is dropped and rebuilt on the next request,
    // so no verification runs without the new certificate.
    if (g_verifyStore && X509_STORE_add_cert(g_verifyStore, certificate) != 1) {
        ERR_clear_error();
        X509_STORE_free(g_verifyStore);
        g_verifyStore = nullptr;
        // The shared context holds the old store.
        TlsClientContextReset();
    }
    return OV_S_PLATFORM;
}

bool HasTrustedCertificate(const char* name) {
    if (!name)
        return false;
    for (ovCPtrList::Node* node = g_trusted.HeadNode(); node; node = node->next) {
        const TrustedRecord* record = static_cast<const TrustedRecord*>(node->element);
        if (strcmp(record->name, name) == 0)
            return true;
    }
    return false;
}

int32_t TlsTrustedCertificateCount() {
    return g_trusted.Count();
}

X509* TlsTrustedCertificateAt(int32_t index) {
    TrustedRecord* record = static_cast<TrustedRecord*>(g_trusted.GetAt(index));
    return record ? record->certificate : nullptr;
}

X509_STORE* TlsTrustedStore() {
    if (g_store || g_trusted.Count() == 0)
        return g_store;
    X509_STORE* store = X509_STORE_new();
    if (!store)
        return nullptr;
    for (ovCPtrList::Node* node = g_trusted.HeadNode(); node; node = node->next) {
        const TrustedRecord* record = static_cast<const TrustedRecord*>(node->element);
        if (X509_STORE_add_cert(store, record->certificate) != 1) {
            ERR_clear_error();
            X509_STORE_free(store);
            return nullptr;
        }
    }
    g_store = store;
    return g_store;
}

X509_STORE* TlsVerifyStore() {
    if (g_verifyStore)
        return g_verifyStore;
    X509_STORE* store = X509_STORE_new();
    if (!store)
        return nullptr;
    const int32_t roots = PfAddSystemTrustRoots(store);
    for (ovCPtrList::Node* node = g_trusted.HeadNode(); node; node = node->next) {
        const TrustedRecord* record = static_cast<const TrustedRecord*>(node->element);
        // A duplicate of a system root is no error; anything else is.
        if (X509_STORE_add_cert(store, record->certificate) != 1) {
            ERR_clear_error();
            X509_STORE_free(store);
            return nullptr;
        }
    }
    ERR_clear_error();
    g_systemRoots = roots;
    g_verifyStore = store;
    return g_verifyStore;
}

int32_t TlsSystemRootCount() {
    return g_systemRoots;
}

BIO_METHOD* TlsBioMethod() {
    return g_bioMethod;
}
