// The operating system's trusted root certificates, for verifying TLS
// servers.
//
// Windows: every certificate of the "ROOT" system store (the local machine's
// and the user's trusted roots as the system presents them). POSIX: the
// system bundle through OpenSSL's default locations (SSL_CERT_FILE and
// SSL_CERT_DIR when set), else the first bundle file found in the usual
// distribution places.
#pragma once

#include <stdint.h>

typedef struct x509_store_st X509_STORE;

// Adds the system's trusted roots to `store`. Returns how many certificates
// were loaded into the store now (a POSIX certificate folder is searched on
// demand during verification, so its certificates are not counted), or -1
// when no system source could be read at all. Certificates the store already
// holds, and entries that do not parse, are skipped. Leaves OpenSSL's error
// queue empty.
int32_t PfAddSystemTrustRoots(X509_STORE* store);
