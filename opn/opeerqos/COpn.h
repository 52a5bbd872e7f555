// The network module: constructing it starts the network library, deleting
// it stops it.
//
// Start-up order: TLS library, sockets, timer manager, socket manager, name
// lookups, garbage collector, MIME map, then the built-in trusted
// certificates (one "Add Certificate Ok" service-log line per certificate
// added). Deletion stops them in reverse: MIME map, collector, name lookups,
// socket manager, timer manager.
// NetworkCleanup (sockets, then the TLS library) runs separately when the
// library thread ends.
//
// Create the module on the library thread, after its message loop exists:
// the socket window and the timer manager's thread timer belong to that
// thread. The job manager deletes it on the host thread once the library
// thread has ended; the window and the thread timer went with that thread's
// loop, so deleting then only frees the records. One module exists at a time;
// a second one made while the first lives starts nothing and stops nothing.
#pragma once

#include <stdint.h>

#include "opn/core/ovSmartPtr.h"

class TimerManager;
class cpCQoS;
class cpCNameLookup;
class ovCGarbageCollector;
class nwCHttpMimeTypeMap;

// One built-in trusted certificate; a table ends with a null name.
struct OpnCertificate {
    const char* name;
    const char* pemText;
};

class COpn {
  public:
    explicit COpn(const ovSmartPtr& lock);
    virtual ~COpn();
    COpn(const COpn&) = delete;
    COpn& operator=(const COpn&) = delete;

    // NetCleanup, then TlsCleanup.
    static void NetworkCleanup();

    // Adds every certificate of `table` (ended by a null name) to the trusted
    // store and writes "Add Certificate Ok - <name>" to the service log for
    // each one added. Returns how many were added; null adds none.
    static int32_t AddCertificates(const OpnCertificate* table);
};

// The objects of the running module, or null while none runs.
TimerManager* OpnTimerManager();
cpCQoS* OpnSocketManager();
cpCNameLookup* OpnNameLookup();
ovCGarbageCollector* OpnGarbageCollector();
nwCHttpMimeTypeMap* OpnMimeMap();
