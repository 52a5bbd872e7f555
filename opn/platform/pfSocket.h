// Non-blocking IPv4 sockets, the resolver and the clock helpers of the
// network library.
//
// Every function answers a ResultCode of module 2. "Checked" functions answer
// OV_E_SOCKET_RECORD (0x80210002) for a null record and OV_E_NOT_SOCKET
// (0x80220004) for a record whose handle is PF_INVALID_SOCKET. A failing OS
// call is turned into a code by the backend's error translator (pfError.h,
// SockMapError), and so are the errors that notifications carry
// (SockNoticeError).
//
// Notifications: a registered socket reports on message
// PF_WM_USER + kSockMessageBase + slot of its window (pfMessageLoop.h).
// SockRecv re-arms FD_READ and a send that would block re-arms FD_WRITE, as
// WSAAsyncSelect does.
//
// Read-ahead: SockRecv on a TCP socket takes up to kSockReadAheadSize bytes
// from the system in one call and serves the caller's (small) reads from
// them until they are gone; only then does it read from the system again.
// The block is bounded, so a reader that stops reading still stops the sender
// through TCP flow control. Bytes held there count as readable data for the
// notifications: FD_READ is reported for them (also after SockSelectAll) and
// FD_CLOSE comes only once they have been read (pfMessageLoop.h,
// PfSocketReadAhead). UDP sockets are never read ahead.
#pragma once

#include <stdint.h>

#include "opn/core/ovResult.h"
#include "opn/platform/pfError.h"
#include "opn/platform/pfMessageLoop.h"

// Socket messages are PF_WM_USER + kSockMessageBase + slot, slot 0..63;
// queued context events are PF_WM_USER + kSockQueuedMessage.
enum : uint32_t {
    kSockQueuedMessage = 9,
    kSockMessageBase = 10,
    kSockSlotCount = 64,
};

// Notification masks: all but FD_OOB (re-arming), and all six (register).
enum : uint32_t {
    kSockMaskSelectAll = 39,
    kSockMaskRegister = 63,
};

enum : int32_t {
    kSockKindTcp = 0,
    kSockKindUdp = 1,
};

// The hidden window that receives socket notifications: its handle and one
// zero word.
struct MsgWindowRecord {
    PfWindowHandle window;
    uint32_t reserved;
};

// AF_INET on every system built for.
enum : uint16_t { kSockFamilyInet = 2 };

// IPv4 socket address with the layout of sockaddr_in (16 bytes).
struct SockAddressIn {
    uint16_t family;   // kSockFamilyInet
    uint16_t port;     // network byte order
    uint32_t address;  // network byte order
    uint8_t zero[8];
};

// Largest system read of SockRecv: one block per system call.
enum : int32_t { kSockReadAheadSize = 64 * 1024 };

// Bytes read from the system but not yet by the caller (pfSocketCommon.cpp).
struct SockReadAhead;

// One socket, owned by whoever created it.
struct SockRecord {
    PfSocketHandle handle;  // PF_INVALID_SOCKET when invalid
    int32_t kind;           // kSockKindTcp / kSockKindUdp
    SockAddressIn address;  // rewritten before every connect, send-to, bind
    int32_t addressLength;  // for receive-from and peer-name queries
    uint32_t nonBlocking;   // the FIONBIO value last set
    int32_t slot;           // socket-manager slot, -1 when not registered
    MsgWindowRecord* window;
    SockReadAhead* readAhead;  // allocated by the first TCP receive
};

// IPv4 address as the resolver gives it (network byte order), then the port
// in host byte order.
struct NetAddress {
    uint32_t address;
    uint16_t port;
};

// Every IPv4 address of a host, in resolver order (at most kNetMaxAddresses).
enum : int32_t { kNetMaxAddresses = 16 };
struct NetAddressList {
    uint32_t addresses[kNetMaxAddresses];
    int32_t count;
};

// Wall-clock stamp for ElapsedMillis.
struct NetTimeStamp {
    int64_t seconds;
    uint32_t millis;
};

// The check every socket function starts with: 0x80210002 for a missing
// record, 0x80220004 for one without a socket, else OV_S_PLATFORM.
ResultCode SockCheck(const SockRecord* record);

// Allocates a zeroed record when `*record` is null (slot -1, handle invalid).
// A record that already holds a socket gives 0x80220007 and is left alone.
// TCP gets SO_LINGER on with time-out 0. A TCP socket that cannot be opened
// gives the mapped error and leaves the record with an invalid handle; when
// only the option fails, the socket stays open with that error. A UDP socket that
// cannot be opened frees the record, clears `*record` and gives 0x80210002.
ResultCode SockCreate(SockRecord** record, int32_t kind);
// blocking != 0 makes the socket blocking (FIONBIO 0), else non-blocking.
ResultCode SockSetBlocking(SockRecord* record, int32_t blocking);
// A non-blocking socket normally answers OV_E_WOULD_BLOCK (also on POSIX,
// where EINPROGRESS is reported that way so callers see one code).
ResultCode SockConnect(SockRecord* record, const NetAddress* address);
ResultCode SockSend(SockRecord* record, const void* data, int32_t size, int32_t* sent);
// Success only when at least one byte arrived; a peer close (0 bytes) and
// errors both give a failure code (0x80200000 when the OS reports none).
// Bytes read ahead are served first; the end of the stream and errors are
// seen only once they are gone.
ResultCode SockRecv(SockRecord* record, void* buffer, int32_t size, int32_t* received);
// Bytes SockRecv holds read ahead for the record (0 for null or none).
int32_t SockReadAheadBytes(const SockRecord* record);
ResultCode SockSendTo(SockRecord* record, const NetAddress* address, const void* data, int32_t size,
                      int32_t* sent);
// `from` receives the sender's address and port (host order); may be null.
ResultCode SockRecvFrom(SockRecord* record, void* buffer, int32_t size, int32_t* received,
                        NetAddress* from);
// SO_REUSEADDR, then bind (port 0 lets the OS pick; see SockLocalPort).
ResultCode SockBind(SockRecord* record, const NetAddress* address);
ResultCode SockListen(SockRecord* record);
// Accepts into `*newRecord` (null or with an invalid handle; allocated when
// null); SO_LINGER on with time-out 0; the peer goes into the record and
// `outAddress` (may be null).
ResultCode SockAccept(SockRecord* listener, NetAddress* outAddress, SockRecord** newRecord);
// Mode 0 sets SO_BROADCAST; any other mode gives 0x80200000.
ResultCode SockEnableBroadcast(SockRecord* record, int32_t mode);
// Closes the socket (when valid) and frees the record; null is accepted.
ResultCode SockClose(SockRecord* record);
// The port the socket is bound to, in host order (0 when unknown).
uint16_t SockLocalPort(SockRecord* record);

// Re-arms FD_READ, FD_WRITE, FD_ACCEPT, FD_CONNECT and FD_CLOSE on the
// record's window and slot.
ResultCode SockSelectAll(SockRecord* record);
// Stores window and slot in the record and asks for all six notifications.
ResultCode SockRegister(MsgWindowRecord* window, SockRecord* record, int32_t slot);
// Puts the record's slot into `*slot` (-1 and 0x80200000 when it had none),
// sets the record's slot to -1 and cancels notification.
ResultCode SockUnregister(MsgWindowRecord* window, SockRecord* record, int32_t* slot);
// Posts the queued-event message to the record's window: wparam the slot,
// lparam the record.
ResultCode SockPostEvent(SockRecord* record);

// WSAStartup 2.2 (0x80300000 for another version); no-op success on POSIX.
ResultCode NetStartup();
// Always 0x40300000.
ResultCode NetCleanup();
// IPv4 addresses of `host` (a name or dotted quad); 0x80200000 when it does
// not resolve or yields none.
ResultCode ResolveAll(const char* host, NetAddressList* list);
ResultCode ResolveFirst(const char* host, uint32_t* address);

// Seconds since 1970 (low 32 bits).
uint32_t NowSeconds();
void NowMillis(NetTimeStamp* stamp);
// Milliseconds of wall-clock time since `stamp` (0 when the clock went back).
uint32_t ElapsedMillis(const NetTimeStamp* stamp);
