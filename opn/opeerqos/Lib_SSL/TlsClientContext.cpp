#include "opn/opeerqos/Lib_SSL/TlsClientContext.h"

#include <stdio.h>
#include <string.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "opn/opeerqos/Lib_SSL/TlsGlobal.h"
#include "opn/opeerqos/Lib_SSL/TlsSession.h"

namespace {

struct KeptSession {
    char key[kTlsMaxHostName + 8];  // "<name>:<port>"; empty when free
    SSL_SESSION* session;
    uint32_t age;  // higher is newer
};

SSL_CTX* g_context = nullptr;
KeptSession g_kept[kTlsKeptSessions];
uint32_t g_age = 0;

void KeyOf(const TlsSession* session, char* key, size_t size) {
    snprintf(key, size, "%s:%u", session->hostName, (unsigned)session->peer.port);
}

// OpenSSL hands over a session the server issued (after the handshake, or
// later with a TLS 1.3 ticket); answering 1 keeps its reference.
int OnNewSession(SSL* ssl, SSL_SESSION* issued) {
    const TlsSession* owner = static_cast<const TlsSession*>(SSL_get_app_data(ssl));
    if (!owner || !SSL_SESSION_is_resumable(issued))
        return 0;
    char key[sizeof g_kept[0].key];
    KeyOf(owner, key, sizeof key);
    KeptSession* slot = nullptr;
    for (KeptSession& kept : g_kept) {
        if (kept.session && strcmp(kept.key, key) == 0) {
            slot = &kept;
            break;
        }
        if (!slot && !kept.session)
            slot = &kept;
    }
    if (!slot) {
        slot = &g_kept[0];
        for (KeptSession& kept : g_kept) {
            if (kept.age < slot->age)
                slot = &kept;
        }
    }
    if (slot->session)
        SSL_SESSION_free(slot->session);
    snprintf(slot->key, sizeof slot->key, "%s", key);
    slot->session = issued;
    slot->age = ++g_age;
    return 1;
}

}  // namespace

SSL_CTX* TlsClientContext() {
    if (g_context)
        return g_context;
    X509_STORE* store = TlsVerifyStore();
    if (!store)
        return nullptr;
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context)
        return nullptr;
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // Shared by every session; the context takes a reference of its own.
    SSL_CTX_set1_cert_store(context, store);
    // Sessions are kept here, by host and port, not in OpenSSL's own store
    // (which a client never looks up).
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, &OnNewSession);
    if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) {
        SSL_CTX_free(context);
        ERR_clear_error();
        return nullptr;
    }
    g_context = context;
    return g_context;
}

void TlsClientContextReset() {
    for (KeptSession& kept : g_kept) {
        if (kept.session)
            SSL_SESSION_free(kept.session);
        kept.session = nullptr;
        kept.key[0] = '\0';
        kept.age = 0;
    }
    if (g_context) {
        SSL_CTX_free(g_context);
        g_context = nullptr;
    }
}

void TlsOfferKeptSession(TlsSession* session) {
    if (!session || !session->ssl)
        return;
    char key[sizeof g_kept[0].key];
    KeyOf(session, key, sizeof key);
    for (KeptSession& kept : g_kept) {
        if (kept.session && strcmp(kept.key, key) == 0) {
            // The connection takes a reference of its own.
            SSL_set_session(session->ssl, kept.session);
            ERR_clear_error();
            return;
        }
    }
}

int32_t TlsKeptSessionCount() {
    int32_t count = 0;
    for (const KeptSession& kept : g_kept)
        count += kept.session ? 1 : 0;
    return count;
}
