// Process-wide OpenSSL set-up of the TLS client layer: library start-up and
// clean-up, the memory BIO method the sessions run over, and the store of
// trusted certificates.
//
// Everything here runs on the library thread (the network module's start and
// the library thread's end), so nothing is locked.
//
// Start-up and clean-up pair up: TlsStartup may run again after TlsCleanup
// (each library start does both). OpenSSL itself is never de-initialised,
// since it cannot be initialised again within the process.
#pragma once

#include <stdint.h>

#include "opn/core/ovResult.h"

typedef struct bio_method_st BIO_METHOD;
typedef struct x509_st X509;
typedef struct x509_store_st X509_STORE;

// Initialises libssl and libcrypto (strings, ciphers, digests) and creates
// the "orvane BIO" method. OV_S_PLATFORM; OV_E_PLATFORM when OpenSSL or the
// method cannot be set up. A second call without clean-up keeps what exists.
ResultCode TlsStartup();
// Frees every trusted certificate with its record, both stores and the BIO
// method. Safe without start-up and when called twice. OV_S_PLATFORM.
//
// Every session must be destroyed before: OpenSSL frees a session's BIOs
// through the method. Should one still be open, the method is kept until the
// last session goes (and the service log says so), so the late session frees
// safely; TlsSessionsOpenAtLastCleanup tells tests the order was wrong.
ResultCode TlsCleanup();

// Sessions created by TlsSessionCreate and not yet destroyed.
int32_t TlsOpenSessionCount();
// How many sessions were open when TlsCleanup last ran; 0 when the shutdown
// order is right.
int32_t TlsSessionsOpenAtLastCleanup();
// Kept by the session code: one call when a session is made, one when it is
// freed.
void TlsNoteSessionOpened();
void TlsNoteSessionClosed();

// Reads one certificate from the zero-terminated PEM text and appends it to
// the trusted store under `name` (at most kTlsMaxCertificateName bytes).
// OV_E_PLATFORM for null arguments, a longer name, text that holds no
// readable certificate, or no memory; nothing is stored then.
ResultCode AddTrustedCertificate(const char* name, const char* pemText);
// Whether a certificate of exactly that name was added.
bool HasTrustedCertificate(const char* name);

enum : int32_t { kTlsMaxCertificateName = 255 };

// The trusted certificates, in the order they were added (for verification
// by the TLS layer). The certificates stay owned by the store.
int32_t TlsTrustedCertificateCount();
X509* TlsTrustedCertificateAt(int32_t index);
// The same certificates as an X509_STORE, or null when none were added. Owned
// by the store; valid until TlsCleanup.
X509_STORE* TlsTrustedStore();

// The store servers are verified against: the system's trusted roots
// (pfTrustRoots.h) plus every certificate of the trusted store, added ones
// included as they come. Built on first use and kept until TlsCleanup; a
// session takes its own reference (SSL_CTX_set1_cert_store). Null only when
// the store cannot be made (no memory); a system without readable roots still
// gets a store with the trusted certificates.
X509_STORE* TlsVerifyStore();
// How many system roots the verify store loaded when it was built (-1 when
// none could be read, 0 before it was built).
int32_t TlsSystemRootCount();

// The BIO through which a session's OpenSSL connection sees the network.
// OpenSSL never touches the socket: the session hands it received ciphertext
// through an input window and gets the ciphertext to send in a callback.
//
// A BIO of this method has a TlsBioChannel as its data pointer (BIO_set_data),
// owned by the session:
//   write: null data is an error (-1); otherwise `send` gets the bytes and
//          the length is returned;
//   read:  copies up to the requested count from the input window not yet
//          handed out and advances `inputTaken`; with nothing left it sets
//          the retry-read flags and returns -1;
//   puts:  write of the text's length;
//   ctrl:  GET_CLOSE / SET_CLOSE the shutdown flag, FLUSH and DUP answer 1,
//          every other command 0.
// Both read and write clear the retry flags first.
struct TlsBioChannel {
    void (*send)(const void* data, int32_t length, void* user);
    void* user;
    const uint8_t* input;  // ciphertext being fed, null when none
    int32_t inputLength;
    int32_t inputTaken;  // bytes already handed to OpenSSL
};

// The method created by TlsStartup; null before it or after TlsCleanup.
BIO_METHOD* TlsBioMethod();
