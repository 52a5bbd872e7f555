// One HTTP request of the stand-in engine over the library's HTTP client
// layer: either measures a file (the Content-Length of a GET, then the
// connection is dropped) or writes its body to a file, from the start or
// appended from an offset with a Range request. Redirects are followed as
// the library follows them (JudgeRedirect, nwRedirect.h). Runs on the library thread; the owner
// hears of the end exactly once through the listener and may delete the fetch from inside it.
#pragma once

#include <stdint.h>

#include <string>

#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwIHttpClientExEventListener.h"
#include "opn/platform/pfFile.h"

class FileFetchListener {
  public:
    virtual ~FileFetchListener() {}
    // Body bytes were written (count of this delivery).
    virtual void OnFetchProgress(int64_t bytes) = 0;
    // The file is complete (download), or its size is known (measure, -1
    // when the server announced none). `restarted` is set when a resume was
    // refused by the server and the file was written from its start.
    virtual void OnFetchDone(int64_t size, bool restarted) = 0;
    // The request failed; `writeFailed` when the target could not be written.
    virtual void OnFetchFailed(bool writeFailed) = 0;
};

class FileFetch : public nwIHttpClientExEventListener {
  public:
    explicit FileFetch(FileFetchListener* listener) : m_listener(listener) {}
    ~FileFetch() override;
    FileFetch(const FileFetch&) = delete;
    FileFetch& operator=(const FileFetch&) = delete;

    enum Start { kStarted, kCannotWrite, kCannotRequest };

    bool Measure(const std::string& url);
    // Downloads after this refuse a body of more than `maxBytes` (-1: no
    // bound): announced, or counted as it comes.
    void SetMaxBytes(int64_t maxBytes) { m_maxBytes = maxBytes; }
    // `offset` 0 writes the file anew; above 0 appends to its first
    // `offset` bytes. `rate` limits the receive speed (bytes per second, 0
    // unlimited). Nothing is reported for a start that fails.
    Start Download(const std::string& url, const std::string& path, int64_t offset, uint32_t rate);
    // Drops the request in flight; nothing more is reported for it.
    void Stop();

    void OnConnected(uint32_t key) override;
    void OnResponse(uint32_t key) override;
    int32_t OnData(uint32_t key, const uint8_t* data, int32_t length) override;
    void OnComplete(uint32_t key) override;
    void OnSendDrained(uint32_t) override {}
    void OnClosed(uint32_t key) override;
    void OnConnectTimeout(uint32_t key) override { Fail(key, false); }
    void OnReceiveTimeout(uint32_t key) override { Fail(key, false); }
    void OnHostUnreachable(uint32_t key) override { Fail(key, false); }

  private:
    bool Request(const std::string& url);
    void Finish(int64_t size);
    void Fail(uint32_t key, bool writeFailed);
    void FailNow(bool writeFailed);
    // Opens the target as a sole file: emptied, or kept and written at its
    // end. False when it cannot be had.
    bool OpenTarget(bool empty);
    void CloseTarget();
    bool Current(uint32_t key) const { return !m_connection.IsEmpty() && key == m_serial; }

    FileFetchListener* m_listener;
    ovSmartPtr m_connection;
    uint32_t m_serial = 0;
    bool m_measure = false;
    std::string m_path;
    int64_t m_offset = 0;
    int64_t m_length = -1;  // announced body length
    int64_t m_written = 0;
    uint32_t m_rate = 0;
    std::string m_url;  // of the request in flight; a Location resolves against it
    int32_t m_redirects = 0;
    bool m_restarted = false;
    int64_t m_maxBytes = -1;
    PfFile* m_file = nullptr;  // the download's target while it runs
};
