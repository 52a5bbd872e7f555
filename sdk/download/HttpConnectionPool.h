// Kept HTTP/1.1 connections: after an answer that allows it, a connection is
// parked here instead of closed, and the next request to the same scheme,
// host and port goes out on it without a new connect (and over https
// without a new handshake). The plain downloader owns one and gives it to
// its size check and its download sessions, so a job's files, and its size
// check and its download, share connections.
//
// Park keeps a connection only when its answer allows it (HTTP/1.1, no
// "Connection: close", a Content-Length, no byte beyond it:
// ovIHttpClientExLayer::GetKeepAlive) and at most kMaxDrainBytes of its body
// are still to come; those are read and dropped (here, or by the HTTP layer
// before the next answer when the connection is handed out meanwhile). Otherwise, and when the
// server closes it, it stays idle for kIdleSeconds, or a connection is pushed out by a newer one
// beyond kMaxIdlePerHost or kMaxIdle, the connection is closed and handed to the garbage collector.
//
// A server may close an idle kept connection just as a request goes out on
// it. That close is no answer about the file: every owner of a request
// follows one rule (PooledRequest) and asks once more on a new connection,
// which costs it no try.
//
// Threads: the library thread, or under the library lock; connection
// events come on the library thread.
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwIHttpClientExEventListener.h"
#include "sdk/download/HttpConnection.h"

class HttpConnectionPool : public nwIHttpClientExEventListener {
  public:
    // One request of an owner, as the rule for kept connections sees it.
    // Open sets it up; the owner calls Answered when the answer head comes,
    // and asks CloseNeedsFreshConnection when its connection closes: true
    // when the request went out on a kept connection and got no answer, so
    // it is to be sent once more on a new connection (Open with `fresh`),
    // not counted as a failed try. A fresh connection that closes is a
    // failure, so a request is asked again at most once.
    class PooledRequest {
      public:
        void Answered() { m_answered = true; }
        bool CloseNeedsFreshConnection() const { return m_reused && !m_answered; }
        bool Reused() const { return m_reused; }

      private:
        friend class HttpConnectionPool;
        bool m_reused = false;
        bool m_answered = false;
    };

    // Idle connections kept in all, and to one scheme, host and port: a
    // host keeps as many as the size checks in flight use, so the files
    // after them reuse those instead of opening their own.
    static constexpr int32_t kMaxIdle = 16;
    static constexpr int32_t kMaxIdlePerHost = 8;
    // An idle connection is closed after this many seconds without a
    // request (well below the keep-alive time-out of common servers).
    static constexpr uint32_t kIdleSeconds = 10;
    // Most body bytes still to come that a parked connection drains.
    static constexpr int64_t kMaxDrainBytes = 4096;

    HttpConnectionPool();
    // Closes every kept connection.
    ~HttpConnectionPool() override;
    HttpConnectionPool(const HttpConnectionPool&) = delete;
    HttpConnectionPool& operator=(const HttpConnectionPool&) = delete;

    // As OpenHttpConnection (HttpConnection.h), but on a kept connection to
    // the URL's scheme, host and port when there is one (`request` notes
    // it); its action, receive budget, receive limit and receive time-out
    // are set anew, the connect time-out does not apply. With `fresh` no
    // kept one is used. `request` (may be null) starts unanswered.
    // `ifRange` as for OpenHttpConnection.
    bool Open(ovSmartPtr& connection, const HttpConnectionOptions& options,
              nwIHttpClientExEventListener* listener, uint32_t key, const char* url,
              PooledRequest* request, bool fresh = false, const char* ifRange = nullptr);
    // Keeps the connection, whose last request went to `url`, when its
    // answer allows it (see above); otherwise releases it
    // (ReleaseHttpConnection). `connection` is empty afterwards.
    void Park(ovSmartPtr& connection, const char* url);
    // Closes every kept connection.
    void Clear();

    // Inspection for tests: connections kept now (draining or idle), and
    // how many requests went out on a kept connection.
    int32_t KeptCount() const;
    int32_t ReuseCount() const { return m_reuses; }

    // nwIHttpClientExEventListener: events of kept connections (the key
    // names the slot's parking).
    void OnConnected(uint32_t key) override;
    void OnResponse(uint32_t key) override;
    int32_t OnData(uint32_t key, const uint8_t* data, int32_t length) override;
    void OnComplete(uint32_t key) override;
    void OnSendDrained(uint32_t key) override;
    void OnClosed(uint32_t key) override;
    void OnConnectTimeout(uint32_t key) override;
    void OnReceiveTimeout(uint32_t key) override;
    void OnHostUnreachable(uint32_t key) override;

  private:
    struct Slot {
        ovSmartPtr connection;  // empty: the slot is free
        ovCString key;          // "<scheme>://<host lower-case>:<port>"
        uint32_t serial = 0;    // listener key; higher is newer
        bool draining = false;  // body bytes of its last answer still to come
    };

    // The pool key of `url`; false when it cannot be parsed.
    static bool KeyOf(const char* url, ovCString& key);
    Slot* SlotOf(uint32_t serial);
    // Closes the slot's connection and frees the slot.
    void Drop(Slot& slot);
    // A free slot for `key`, pushing out the oldest idle connection when the
    // bounds are reached; null when every slot is draining.
    Slot* FreeSlotFor(const ovCString& key);
    // Sets the kept connection up for a request; false when it cannot be.
    bool Reuse(ovSmartPtr& connection, const HttpConnectionOptions& options,
               nwIHttpClientExEventListener* listener, uint32_t key, const char* url,
               const char* ifRange);

    Slot m_slots[kMaxIdle];
    uint32_t m_serial = 0;
    int32_t m_reuses = 0;
};
