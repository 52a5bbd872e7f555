// The hidden window that turns socket notifications into socket events for
// the socket manager.
//
// Messages (pfSocket.h): PF_WM_USER + kSockQueuedMessage carries a queued
// context event (wparam slot, lparam socket record); PF_WM_USER +
// kSockMessageBase + slot (slot 0..63) carries a notification (wparam the
// socket handle, lparam event and error as PF_SELECT_EVENT / PF_SELECT_ERROR).
// The window procedure holds the library lock around everything it does.
#pragma once

#include <stdint.h>

#include "opn/core/ovResult.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/platform/pfMessageLoop.h"
#include "opn/platform/pfSocket.h"

// Socket event codes handed to the socket manager.
enum : int32_t {
    kSockEventNone = 0,
    kSockEventReadable = 2,
    kSockEventWritable = 3,
    kSockEventConnected = 4,
    kSockEventAccept = 6,
    kSockEventClosed = 7,
    kSockEventRefused = 8,
    kSockEventHostUnreachable = 9,
};

// Receiver of the window's events (the socket manager). Both calls run on
// the window's thread inside the library lock.
class cpISocketEventSink {
  public:
    virtual void OnSocketEvent(int32_t slot, int32_t code, uint32_t error) = 0;
    virtual void OnQueuedEvent(int32_t slot, void* record) = 0;

  protected:
    virtual ~cpISocketEventSink() {}
};

// The window's class name and title.
extern const char kAsyncSocketWindowName[];

// Creates the window on the calling thread (which must run a message loop)
// and remembers `lock` and `sink` for the window procedure. On failure
// `*windowRecord` stays null and OV_E_PLATFORM is returned.
ResultCode WindowCreate(MsgWindowRecord** windowRecord, const ovSmartPtr& lock,
                        cpISocketEventSink* sink);
// Destroys the window, forgets lock and sink and frees the record; null is
// accepted.
void WindowDestroy(MsgWindowRecord* windowRecord);
// Number of windows between WindowCreate and WindowDestroy.
int32_t WindowLiveCount();

// Event code for a notification and its Winsock error; kSockEventNone when the
// notification produces no event.
int32_t TranslateSocketNotification(uint32_t event, uint32_t error);

// The window procedure (exposed for tests).
intptr_t AsyncSocketWindowProc(PfWindowHandle window, uint32_t message, uintptr_t wparam,
                               intptr_t lparam);
