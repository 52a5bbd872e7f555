// Public face of the TLS client layer (class id OV_CLSID_SECURE_LAYER,
// 0x2017): TLS under another layer of the same connection context, normally
// pushed at the bottom by the HTTP client layer for https URLs.
//
// Use: PushLayer(OV_CLSID_SECURE_LAYER, true) on the context, give the
// context its host name (SetHostName) before Connect. Nothing else is
// configured: the layer sends the host name for SNI (not for a literal IP
// address) and verifies the server's chain and name against the system's
// trusted roots plus the certificates added with AddTrustedCertificate
// (TlsGlobal.h).
//
// What the layers above see:
// - OnConnected as soon as the TCP connection exists; what they send before
//   the handshake is done waits in the layer and goes out after it, in order;
// - OnData with the decrypted bytes; bytes they do not consume are offered
//   again, in front of the next ones;
// - a failed handshake, a certificate that does not verify, or a TLS error
//   later closes the context: OnClosed, never a completion.
//
// The face has no operations of its own: slots 0-3 forward to the layer
// object (one shared count), and QueryInterface(OV_IID_NETSTACK) gives the
// stack face.
//
// Threads: pushed and configured like the context (ovIQoSContext.h), on the
// library thread or holding the library lock.
#pragma once

#include "opn/core/ovIUnknown.h"

class ovISecureSocketClientLayer : public ovIUnknown {};
