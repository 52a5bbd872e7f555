// One TLS client connection run over memory: OpenSSL never sees the socket.
// The owner feeds the ciphertext it received through an input window and gets
// the ciphertext OpenSSL wants to send, and the decrypted bytes, back through
// callbacks. One session per connection, owned by the TLS layer.
//
// Contract:
// - Every call runs on the owner's thread; a session is never entered twice
//   at once. While an OpenSSL call runs (TlsSessionInCall) the owner must not
//   call TlsWrite: it queues the bytes and writes them once the call returned.
// - sendCiphertext is called from inside OpenSSL (the BIO write), possibly
//   several times per call; the bytes are borrowed for the call.
// - handshakeDone and plaintextReceived are called after the OpenSSL call
//   returned, never from inside it. plaintextReceived returns false when the
//   owner wants no more bytes (the connection is closing): the feed then ends
//   at once and OpenSSL is not called again.
// - The session must outlive every call into it: destroy it only when none
//   is running (the layer defers it to the end of its busy section).
// - Results: OV_S_PLATFORM; OV_E_PLATFORM when the handshake or the record
//   layer failed (TlsSessionFailure tells why). OpenSSL's error queue is left
//   empty after every call.
//
// Verification: the server's chain must lead to a certificate of
// TlsVerifyStore (the system's roots and the trusted certificates), and the
// certificate must name the host: a DNS name (sent as SNI too) or, for a
// literal IPv4 address, that address (no SNI then). A chain that does not
// verify fails the handshake.
#pragma once

#include <stdint.h>

#include "opn/core/ovResult.h"
#include "opn/opeerqos/Lib_SSL/TlsGlobal.h"
#include "opn/platform/pfSocket.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

struct TlsSessionCallbacks {
    void (*sendCiphertext)(const void* data, int32_t length, void* user);
    void (*handshakeDone)(void* user);
    bool (*plaintextReceived)(const uint8_t* data, int32_t length, void* user);
    void* user;
};

enum : int32_t {
    // Plaintext buffer of one SSL_read: more than one record can carry.
    kTlsReadChunk = 24576,
    // Longest host name verified and sent (DNS limit).
    kTlsMaxHostName = 255,
    // Room for a failure description.
    kTlsFailureTextSize = 160,
};

// Why a session failed.
enum : int32_t {
    kTlsFailNone = 0,
    kTlsFailHandshake = 1,    // alert, protocol error, no common parameters
    kTlsFailCertificate = 2,  // the server's chain or name did not verify
    kTlsFailRead = 3,         // record-layer error after the handshake
    kTlsFailClosed = 4,       // the server ended TLS (close_notify)
    kTlsFailWrite = 5,
};

struct TlsSession {
    TlsSessionCallbacks callbacks;
    NetAddress peer;
    SSL* ssl;
    SSL_CTX* context;
    // The BIO data of both BIOs: the send callback and the input window.
    TlsBioChannel channel;
    // SSL_get_error of the last failed call, 0 when none.
    int32_t lastError;
    int32_t failure;  // kTlsFail*
    // X509_V_* of the certificate check (0 when it passed or did not run).
    int32_t verifyResult;
    // Last alert sent or received, as OpenSSL's long text ("" when none).
    const char* lastAlert;
    uint8_t alertReceived;
    uint8_t inCall;
    uint8_t established;  // the handshake completed
    uint8_t resumed;      // ... by resuming a kept session (TlsClientContext.h)
    // Plaintext bytes asked of one SSL_read (kTlsReadChunk; tests lower it).
    int32_t readChunk;
    char hostName[kTlsMaxHostName + 1];  // the name or address verified
    // OpenSSL's reason for the last failure ("" when none).
    char reason[96];
};

// Takes a reference to the shared client context (TlsClientContext.h), offers
// the session kept for the host and port, and creates the
// connection with its info callback and two BIOs of the memory method, and
// sets up SNI and the host check. `hostName` may be null or empty, or a
// literal IPv4 address: the peer address is verified then. OV_E_PLATFORM
// (and `*session` null) for null arguments, a host name longer than
// kTlsMaxHostName, TlsStartup not run, or an OpenSSL step that fails.
ResultCode TlsSessionCreate(TlsSession** session, const TlsSessionCallbacks* callbacks,
                            const NetAddress* peer, const char* hostName);
// Frees the connection (with its BIOs) and its reference to the context;
// null is accepted.
void TlsSessionDestroy(TlsSession* session);

// SSL_connect: the ClientHello leaves through sendCiphertext. Success also
// when OpenSSL waits for the server's answer.
ResultCode TlsHandshakeStart(TlsSession* session);
// Opens the input window over the bytes and continues the handshake;
// `*consumed` gets how many bytes OpenSSL took. handshakeDone runs once the
// handshake completes (bytes after the server's last handshake record are
// left for TlsReadFeed).
ResultCode TlsHandshakeFeed(TlsSession* session, const uint8_t* data, int32_t length,
                            int32_t* consumed);
// Opens the window and reads one record's plaintext (SSL_read), then what
// OpenSSL still holds decrypted, so nothing waits inside OpenSSL for bytes
// that may never come; each piece goes to plaintextReceived. `*consumed`
// gets how many bytes OpenSSL took (0 once it needs more than the window
// holds). A close_notify from the server fails with kTlsFailClosed.
ResultCode TlsReadFeed(TlsSession* session, const uint8_t* data, int32_t length, int32_t* consumed);
// SSL_write of all bytes; success only when every byte was accepted. The
// ciphertext leaves at once through sendCiphertext. OV_E_PLATFORM also while
// an OpenSSL call runs (see above) or before the handshake completed. A
// length of 0 writes nothing and succeeds.
ResultCode TlsWrite(TlsSession* session, const void* data, int32_t length);

inline bool TlsSessionInCall(const TlsSession* session) {
    return session && session->inCall != 0;
}
// Lowers the plaintext asked of one SSL_read (1..kTlsReadChunk; other values
// restore the default). For tests of the drain path.
void TlsSessionSetReadChunk(TlsSession* session, int32_t bytes);
// One line about the failure for the service log, e.g. "certificate refused
// (self-signed certificate)" or "alert handshake failure"; "" when none.
void TlsSessionFailureText(const TlsSession* session, char* out, int32_t size);
