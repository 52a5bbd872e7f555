// The one OpenSSL client context every TLS session is made from, and the
// sessions kept for resumption: a new connection to a host and port that
// had a session before offers it, and a server that still knows it skips
// the full handshake (no certificate chain, one round trip less).
//
// The context: version-flexible client, TLS 1.2 or later, peer verification
// against TlsVerifyStore (TlsGlobal.h), the client session cache on with
// sessions kept here (at most kTlsKeptSessions, the oldest pushed out). A
// session is kept under the verified name or address and the port
// (TlsSession::hostName, peer port) once the server issues it; a resumed
// session was verified under the same name when it was made.
//
// Threads: the library thread, like TlsGlobal.h.
#pragma once

#include <stdint.h>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
struct TlsSession;

enum : int32_t { kTlsKeptSessions = 32 };

// The shared context, built on first use; null when it cannot be made. Owned
// here: a session takes its own reference (SSL_CTX_up_ref).
SSL_CTX* TlsClientContext();
// Drops the context and every kept session (the connections that use them
// keep their own references). TlsCleanup calls it, and so does a change of
// the verify store that replaces the store object.
void TlsClientContextReset();
// Offers the session kept for `session`'s host name and port to its OpenSSL
// connection (before the handshake); nothing when none is kept.
void TlsOfferKeptSession(TlsSession* session);
// Sessions kept now.
int32_t TlsKeptSessionCount();
