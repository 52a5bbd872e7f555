#include "opn/opeerqos/Lib_SSL/TlsSession.h"

#include "opn/opeerqos/Lib_SSL/TlsClientContext.h"

#include <stdio.h>
#include <string.h>

#include <new>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "opn/core/ovLog.h"

namespace {

// Bound on the SSL_read calls of one feed: OpenSSL holds at most one
// record's plaintext (16 KiB), so even a read chunk of 1 byte ends long
// before this.
const int32_t kMaxReadsPerFeed = 65536;

void SendThunk(const void* data, int32_t length, void* user) {
    TlsSession* session = static_cast<TlsSession*>(user);
    if (session->callbacks.sendCiphertext)
        session->callbacks.sendCiphertext(data, length, session->callbacks.user);
}

// Classifies the connection's events for diagnostics only; the alert is kept
// for the failure text.
void InfoCallback(const SSL* ssl, int where, int value) noexcept {
    TlsSession* session = static_cast<TlsSession*>(SSL_get_app_data(ssl));
    if (!session)
        return;
    if (where & SSL_CB_ALERT) {
        session->lastAlert = SSL_alert_desc_string_long(value);
        session->alertReceived = (where & SSL_CB_READ) ? 1 : 0;
        ovLogDebugTrace(SF_LOG_DEBUG_PREFIX " TLS %s alert: %s",
                        (where & SSL_CB_READ) ? "read" : "write", session->lastAlert);
    } else if (where & SSL_CB_HANDSHAKE_START) {
        ovLogDebugTrace(SF_LOG_DEBUG_PREFIX " TLS handshake start: %s", session->hostName);
    } else if (where & SSL_CB_HANDSHAKE_DONE) {
        ovLogDebugTrace(SF_LOG_DEBUG_PREFIX " TLS handshake done: %s", session->hostName);
    }
}

void OpenWindow(TlsSession* session, const uint8_t* data, int32_t length) {
    session->channel.input = data;
    session->channel.inputLength = length;
    session->channel.inputTaken = 0;
}

int32_t CloseWindow(TlsSession* session) {
    const int32_t taken = session->channel.inputTaken;
    session->channel.input = nullptr;
    session->channel.inputLength = 0;
    session->channel.inputTaken = 0;
    return taken;
}

// Keeps why the last call failed, and empties OpenSSL's error queue.
void RecordFailure(TlsSession* session, int32_t error, int32_t kind) {
    session->lastError = error;
    const long verify = SSL_get_verify_result(session->ssl);
    session->verifyResult = (int32_t)verify;
    if (kind == kTlsFailHandshake && verify != X509_V_OK)
        kind = kTlsFailCertificate;
    session->failure = kind;
    session->reason[0] = '\0';
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    if (reason)
        snprintf(session->reason, sizeof session->reason, "%s", reason);
    ERR_clear_error();
}

// One OpenSSL call; `inCall` is set around it so the owner knows not to
// write from inside a callback.
int CallConnect(TlsSession* session) {
    ERR_clear_error();
    session->inCall = 1;
    const int result = SSL_connect(session->ssl);
    session->inCall = 0;
    return result;
}

bool IsIpLiteral(const char* host) {
    // Dotted quad only: the library speaks IPv4.
    int parts[4];
    char tail = 0;
    if (sscanf(host, "%d.%d.%d.%d%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) != 4)
        return false;
    for (int part : parts) {
        if (part < 0 || part > 255)
            return false;
    }
    return true;
}

// SNI and the name check of the server's certificate.
bool SetUpPeerCheck(TlsSession* session, const char* hostName) {
    X509_VERIFY_PARAM* param = SSL_get0_param(session->ssl);
    if (!param)
        return false;
    // A certificate added as trusted is an anchor of its own, even when its
    // issuer is not in the store.
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (hostName && hostName[0] && !IsIpLiteral(hostName)) {
        snprintf(session->hostName, sizeof session->hostName, "%s", hostName);
        return X509_VERIFY_PARAM_set1_host(param, hostName, 0) == 1 &&
               SSL_set_tlsext_host_name(session->ssl, hostName) == 1;
    }
    if (hostName && hostName[0]) {
        snprintf(session->hostName, sizeof session->hostName, "%s", hostName);
    } else {
        uint8_t b[4];
        memcpy(b, &session->peer.address, sizeof b);
        snprintf(session->hostName, sizeof session->hostName, "%u.%u.%u.%u", b[0], b[1], b[2],
                 b[3]);
    }
    return X509_VERIFY_PARAM_set1_ip_asc(param, session->hostName) == 1;
}

void FreeParts(TlsSession* session) {
    // Connections end without close_notify (HTTP knows its end from the
    // length); one that ended without a TLS failure keeps its session
    // resumable, which OpenSSL would otherwise drop as a broken one.
    if (session->ssl && session->established && session->failure == kTlsFailNone)
        SSL_set_shutdown(session->ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    if (session->ssl)
        SSL_free(session->ssl);  // frees both BIOs
    if (session->context)
        SSL_CTX_free(session->context);
    delete session;
    TlsNoteSessionClosed();
}

}  // namespace

ResultCode TlsSessionCreate(TlsSession** out, const TlsSessionCallbacks* callbacks,
                            const NetAddress* peer, const char* hostName) {
    if (!out)
        return OV_E_PLATFORM;
    *out = nullptr;
    if (!callbacks || !peer)
        return OV_E_PLATFORM;
    if (hostName && strlen(hostName) > (size_t)kTlsMaxHostName)
        return OV_E_PLATFORM;
    BIO_METHOD* method = TlsBioMethod();
    X509_STORE* store = TlsVerifyStore();
    if (!method || !store)
        return OV_E_PLATFORM;

    TlsSession* session = new (std::nothrow) TlsSession();
    if (!session)
        return OV_E_PLATFORM;
    TlsNoteSessionOpened();
    session->callbacks = *callbacks;
    session->peer = *peer;
    session->channel.send = &SendThunk;
    session->channel.user = session;
    session->lastAlert = "";
    session->readChunk = kTlsReadChunk;

    bool ok = false;
    // One context for every session, so sessions can be resumed.
    SSL_CTX* shared = TlsClientContext();
    if (shared && SSL_CTX_up_ref(shared) == 1) {
        session->context = shared;
        ok = true;
    }
    if (ok) {
        session->ssl = SSL_new(session->context);
        ok = session->ssl != nullptr;
    }
    if (ok) {
        SSL_set_app_data(session->ssl, session);
        SSL_set_info_callback(session->ssl, &InfoCallback);
        BIO* readBio = BIO_new(method);
        BIO* writeBio = BIO_new(method);
        ok = readBio && writeBio;
        if (ok) {
            BIO_set_data(readBio, &session->channel);
            BIO_set_data(writeBio, &session->channel);
            SSL_set_bio(session->ssl, readBio, writeBio);
        } else {
            BIO_free(readBio);
            BIO_free(writeBio);
        }
    }
    if (ok)
        ok = SetUpPeerCheck(session, hostName);
    if (ok)
        TlsOfferKeptSession(session);
    ERR_clear_error();
    if (!ok) {
        FreeParts(session);
        return OV_E_PLATFORM;
    }
    *out = session;
    return OV_S_PLATFORM;
}

void TlsSessionDestroy(TlsSession* session) {
    if (session)
        FreeParts(session);
}

ResultCode TlsHandshakeStart(TlsSession* session) {
    if (!session || session->inCall)
        return OV_E_PLATFORM;
    if (session->established)
        return OV_S_PLATFORM;
    const int result = CallConnect(session);
    if (result >= 1) {
        ERR_clear_error();
        session->established = 1;
        session->resumed = SSL_session_reused(session->ssl) == 1 ? 1 : 0;
        if (session->callbacks.handshakeDone)
            session->callbacks.handshakeDone(session->callbacks.user);
        return OV_S_PLATFORM;
    }
    const int error = SSL_get_error(session->ssl, result);
    if (error == SSL_ERROR_WANT_READ) {
        ERR_clear_error();
        return OV_S_PLATFORM;
    }
    RecordFailure(session, error, kTlsFailHandshake);
    return OV_E_PLATFORM;
}

ResultCode TlsHandshakeFeed(TlsSession* session, const uint8_t* data, int32_t length,
                            int32_t* consumed) {
    if (consumed)
        *consumed = 0;
    if (!session || !consumed || session->inCall || length < 0 || (!data && length > 0))
        return OV_E_PLATFORM;
    if (session->established)
        return TlsReadFeed(session, data, length, consumed);
    OpenWindow(session, data, length);
    const int result = CallConnect(session);
    const int error = result >= 1 ? SSL_ERROR_NONE : SSL_get_error(session->ssl, result);
    *consumed = CloseWindow(session);
    if (result >= 1) {
        ERR_clear_error();
        session->established = 1;
        session->resumed = SSL_session_reused(session->ssl) == 1 ? 1 : 0;
        if (session->callbacks.handshakeDone)
            session->callbacks.handshakeDone(session->callbacks.user);
        return OV_S_PLATFORM;
    }
    if (error == SSL_ERROR_WANT_READ) {
        ERR_clear_error();
        return OV_S_PLATFORM;
    }
    RecordFailure(session, error, kTlsFailHandshake);
    return OV_E_PLATFORM;
}

ResultCode TlsReadFeed(TlsSession* session, const uint8_t* data, int32_t length,
                       int32_t* consumed) {
    if (consumed)
        *consumed = 0;
    if (!session || !consumed || session->inCall || !session->established || length < 0 ||
        (!data && length > 0))
        return OV_E_PLATFORM;
    uint8_t plain[kTlsReadChunk];
    ResultCode outcome = OV_S_PLATFORM;
    OpenWindow(session, data, length);
    for (int32_t i = 0; i < kMaxReadsPerFeed; ++i) {
        ERR_clear_error();
        session->inCall = 1;
        const int n = SSL_read(session->ssl, plain, session->readChunk);
        session->inCall = 0;
        if (n <= 0) {
            const int error = SSL_get_error(session->ssl, n);
            if (error == SSL_ERROR_WANT_READ) {
                ERR_clear_error();
            } else {
                RecordFailure(session, error,
                              error == SSL_ERROR_ZERO_RETURN ? kTlsFailClosed : kTlsFailRead);
                outcome = OV_E_PLATFORM;
            }
            break;
        }
        const bool more = !session->callbacks.plaintextReceived ||
                          session->callbacks.plaintextReceived(plain, n, session->callbacks.user);
        // One record per call, but never leave decrypted bytes inside
        // OpenSSL: no new ciphertext may come to push them out.
        if (!more || SSL_pending(session->ssl) <= 0)
            break;
    }
    *consumed = CloseWindow(session);
    return outcome;
}

ResultCode TlsWrite(TlsSession* session, const void* data, int32_t length) {
    if (!session || session->inCall || !session->established || length < 0 || (!data && length > 0))
        return OV_E_PLATFORM;
    if (length == 0)
        return OV_S_PLATFORM;
    ERR_clear_error();
    session->inCall = 1;
    const int written = SSL_write(session->ssl, data, length);
    session->inCall = 0;
    if (written == length) {
        ERR_clear_error();
        return OV_S_PLATFORM;
    }
    RecordFailure(session, SSL_get_error(session->ssl, written), kTlsFailWrite);
    return OV_E_PLATFORM;
}

void TlsSessionSetReadChunk(TlsSession* session, int32_t bytes) {
    if (session)
        session->readChunk = (bytes >= 1 && bytes <= kTlsReadChunk) ? bytes : kTlsReadChunk;
}

void TlsSessionFailureText(const TlsSession* session, char* out, int32_t size) {
    if (!out || size <= 0)
        return;
    out[0] = '\0';
    if (!session)
        return;
    const char* reason = session->reason[0] ? session->reason : "no reason given";
    switch (session->failure) {
        case kTlsFailCertificate:
            snprintf(out, (size_t)size, "certificate refused (%s)",
                     X509_verify_cert_error_string(session->verifyResult));
            break;
        case kTlsFailHandshake:
            if (session->alertReceived && session->lastAlert[0])
                snprintf(out, (size_t)size, "alert %s from the server", session->lastAlert);
            else
                snprintf(out, (size_t)size, "handshake failed (%s)", reason);
            break;
        case kTlsFailRead:
            snprintf(out, (size_t)size, "read failed (%s)", reason);
            break;
        case kTlsFailClosed:
            snprintf(out, (size_t)size, "closed by the server");
            break;
        case kTlsFailWrite:
            snprintf(out, (size_t)size, "write failed (%s)", reason);
            break;
        default:
            break;
    }
}
