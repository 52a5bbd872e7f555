#include "tools/engine/FileFetch.h"

#include <inttypes.h>
#include <stdio.h>

#include "opn/core/ovCString.h"
#include "opn/opeerqos/nwRedirect.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfFile.h"
#include "sdk/download/HttpConnection.h"

namespace {

const uint32_t kTimeoutSec = 5;

}  // namespace

FileFetch::~FileFetch() {
    ReleaseHttpConnection(m_connection);
    CloseTarget();
}

bool FileFetch::OpenTarget(bool empty) {
    CloseTarget();
    int32_t error = 0;
    // A link, or a file with more names, at the target's name is replaced,
    // never written through: the folder may be writable by others.
    m_file = PfFileOpenSole(m_path.c_str(), empty ? kPfSoleEmpty : kPfSoleKeep, &error);
    if (m_file && !empty && PfFileSeekEnd(m_file) < 0)
        CloseTarget();
    return m_file != nullptr;
}

void FileFetch::CloseTarget() {
    PfFileClose(m_file);
    m_file = nullptr;
}

bool FileFetch::Measure(const std::string& url) {
    CloseTarget();
    m_measure = true;
    m_redirects = 0;
    return Request(url);
}

FileFetch::Start FileFetch::Download(const std::string& url, const std::string& path,
                                     int64_t offset, uint32_t rate) {
    m_measure = false;
    m_path = path;
    m_offset = offset > 0 ? offset : 0;
    m_rate = rate;
    m_redirects = 0;
    m_restarted = false;
    if (!OpenTarget(m_offset == 0))
        return kCannotWrite;
    return Request(url) ? kStarted : kCannotRequest;
}

void FileFetch::Stop() {
    ReleaseHttpConnection(m_connection);
    CloseTarget();
}

bool FileFetch::Request(const std::string& url) {
    ReleaseHttpConnection(m_connection);
    if (++m_serial == 0)
        m_serial = 1;
    m_url = url;
    m_length = -1;
    m_written = 0;
    char range[48];
    snprintf(range, sizeof range, "bytes=%" PRId64 "-", m_offset);
    HttpConnectionOptions options = {kQoSActionHigh,
                                     kTimeoutSec,
                                     kTimeoutSec,
                                     0,
                                     0,
                                     m_offset > 0 && !m_measure ? range : nullptr};
    if (m_rate > 0) {
        options.actionType = kQoSActionOwn;
        options.ownAction = kQoSActionOwnReceiveOnly;
        options.receiveBudget = m_rate;
    }
    return OpenHttpConnection(m_connection, options, this, m_serial, url.c_str());
}

void FileFetch::OnConnected(uint32_t) {}

void FileFetch::OnResponse(uint32_t key) {
    ovIHttpClientExLayer* http = Current(key) ? HttpLayerOf(m_connection) : nullptr;
    if (!http)
        return;
    int32_t status = 0;
    http->GetStatusCode(&status);
    ovCString announced;
    const bool hasLength = OV_SUCCEEDED(http->GetHeader("Content-Length:", &announced));
    int64_t length = -1;
    if (hasLength)
        http->GetContentLength(&length);
    if (IsRedirectStatus(status)) {
        ovCString target;
        if (JudgeRedirect(http, m_url.c_str(), m_redirects, &target) != kRedirectFollow) {
            FailNow(false);
            return;
        }
        ++m_redirects;
        if (!Request(target.CStr()))
            FailNow(false);
        return;
    }
    if (m_measure) {
        if (status != 200) {
            Fail(key, false);
            return;
        }
        ReleaseHttpConnection(m_connection);
        m_listener->OnFetchDone(length, false);
        return;
    }
    if (status == 416 && m_offset > 0) {
        // Nothing left past the offset: the file is whole already.
        ReleaseHttpConnection(m_connection);
        m_listener->OnFetchDone(m_offset, false);
        return;
    }
    if (status == 200 && m_offset > 0) {
        // The server sends the whole file: write it from its start.
        if (!OpenTarget(true)) {
            Fail(key, true);
            return;
        }
        m_offset = 0;
        m_restarted = true;
    } else if (status != 200 && status != 206) {
        Fail(key, false);
        return;
    }
    if (m_maxBytes >= 0 && length > m_maxBytes) {
        Fail(key, false);
        return;
    }
    m_length = length;
    if (length == 0)
        Finish(m_offset);
}

int32_t FileFetch::OnData(uint32_t key, const uint8_t* data, int32_t length) {
    if (!Current(key) || m_measure)
        return length;
    if (m_maxBytes >= 0 && m_written + length > m_maxBytes) {
        Fail(key, false);
        return length;
    }
    int32_t error = 0;
    if (!m_file || !PfFileWrite(m_file, data, (size_t)length, &error)) {
        Fail(key, true);
        return length;
    }
    m_written += length;
    m_listener->OnFetchProgress(length);
    return length;
}

void FileFetch::OnComplete(uint32_t key) {
    if (Current(key) && !m_measure)
        Finish(m_offset + m_written);
}

void FileFetch::OnClosed(uint32_t key) {
    if (!Current(key))
        return;
    // Without an announced length the close ends the body.
    if (!m_measure && m_length < 0 && m_written > 0)
        Finish(m_offset + m_written);
    else
        Fail(key, false);
}

void FileFetch::Finish(int64_t size) {
    ReleaseHttpConnection(m_connection);
    CloseTarget();
    m_listener->OnFetchDone(size, m_restarted);
}

void FileFetch::Fail(uint32_t key, bool writeFailed) {
    if (Current(key))
        FailNow(writeFailed);
}

void FileFetch::FailNow(bool writeFailed) {
    ReleaseHttpConnection(m_connection);
    CloseTarget();
    m_listener->OnFetchFailed(writeFailed);
}
