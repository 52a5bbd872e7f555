// Helpers of the TLS layer tests: a TLS server run over memory (OpenSSL's
// own memory BIOs, so each byte the layer sends or gets is under the test's
// control), a test top layer that records what reaches it, and the service
// log of a redirected app-data folder. Certificates come from
// support/TestCertificate.h.
#pragma once

#include <stdint.h>
#include <string.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/nwCApplicationStack.h"
#include "sdk/support/ServiceLog.h"
#include "support/TestCertificate.h"
#include "unit/SupportTestEnv.h"

namespace tlstest {

// A TLS server over two memory BIOs: Feed() gives it what the client sent,
// Take() hands out what it wants to send.
class MemoryServer {
  public:
    MemoryServer() = default;
    MemoryServer(const MemoryServer&) = delete;
    MemoryServer& operator=(const MemoryServer&) = delete;
    ~MemoryServer() {
        SSL_free(m_ssl);
        SSL_CTX_free(m_ctx);
    }

    bool Init(const Certificate& identity, int maxVersion = 0) {
        m_ctx = SSL_CTX_new(TLS_server_method());
        if (!m_ctx || SSL_CTX_use_certificate(m_ctx, identity.cert) != 1 ||
            SSL_CTX_use_PrivateKey(m_ctx, identity.key) != 1)
            return false;
        if (maxVersion)
            SSL_CTX_set_max_proto_version(m_ctx, maxVersion);
        // No tickets: every record after the handshake is one the test wrote.
        SSL_CTX_set_num_tickets(m_ctx, 0);
        m_ssl = SSL_new(m_ctx);
        BIO* in = BIO_new(BIO_s_mem());
        BIO* out = BIO_new(BIO_s_mem());
        if (!m_ssl || !in || !out) {
            BIO_free(in);
            BIO_free(out);
            return false;
        }
        SSL_set_bio(m_ssl, in, out);
        SSL_set_accept_state(m_ssl);
        return true;
    }

    // Takes the client's bytes and moves the handshake on (or reads).
    void Feed(const std::string& bytes) {
        if (!bytes.empty())
            BIO_write(SSL_get_rbio(m_ssl), bytes.data(), (int)bytes.size());
        if (!SSL_is_init_finished(m_ssl)) {
            const int r = SSL_do_handshake(m_ssl);
            if (r <= 0) {
                const int e = SSL_get_error(m_ssl, r);
                if (e != SSL_ERROR_WANT_READ)
                    m_failed = true;
            }
            ERR_clear_error();
        }
        if (SSL_is_init_finished(m_ssl))
            DrainPlain();
    }

    std::string Take() {
        std::string bytes;
        char chunk[4096];
        int n;
        while ((n = BIO_read(SSL_get_wbio(m_ssl), chunk, sizeof chunk)) > 0)
            bytes.append(chunk, (size_t)n);
        return bytes;
    }

    // One record per call (for texts up to 16 KiB).
    void Write(const std::string& text) {
        ASSERT_EQ((int)text.size(), SSL_write(m_ssl, text.data(), (int)text.size()));
    }
    void SendCloseNotify() { SSL_shutdown(m_ssl); }

    bool Established() const { return SSL_is_init_finished(m_ssl) == 1; }
    bool Failed() const { return m_failed; }
    const std::string& Plain() const { return m_plain; }
    // The host name the client sent (SNI), "" when none.
    std::string ServerName() const {
        const char* name = SSL_get_servername(m_ssl, TLSEXT_NAMETYPE_host_name);
        return name ? name : "";
    }
    SSL* Ssl() const { return m_ssl; }

  private:
    void DrainPlain() {
        char chunk[4096];
        for (int i = 0; i < 10000; ++i) {
            const int n = SSL_read(m_ssl, chunk, sizeof chunk);
            if (n <= 0)
                break;
            m_plain.append(chunk, (size_t)n);
        }
        ERR_clear_error();
    }

    SSL_CTX* m_ctx = nullptr;
    SSL* m_ssl = nullptr;
    bool m_failed = false;
    std::string m_plain;
};

// A top layer for the tests: records its events and the bytes it took, and
// takes them by a rule the test sets.
class TopLayer : public nwCApplicationStack {
    OV_IMPLEMENT_REFCOUNT(TopLayer)

  public:
    TopLayer() { RegisterHandlers(); }

    ResultCode QueryInterface(uint32_t id, void** out) override {
        if (id != OV_IID_NETSTACK || !out)
            return OV_E_NETWORK;
        *out = static_cast<nwIQoSNetStack*>(this);
        return OV_S_NETWORK;
    }
    bool OnConnected() override {
        events.push_back("connected");
        if (onConnected)
            onConnected();
        return true;
    }
    void OnClosedHook() override {
        events.push_back("closed");
        if (onClosed)
            onClosed();
    }
    bool OnSendDrained() override {
        events.push_back("drained");
        if (onDrained)
            onDrained();
        return true;
    }
    bool OnReceiveIdle() override {
        events.push_back("idle");
        return true;
    }
    void RegisterHandlers() override { m_dispatcher.AddRawHandler(&TopLayer::Raw, this); }
    // With `oneBitePerCall` the rule is applied once per OnData, not repeated
    // by the dispatcher while it takes bytes.
    int32_t OnData(const uint8_t* data, int32_t length) override {
        if (!oneBitePerCall)
            return nwCApplicationStack::OnData(data, length);
        return Raw(data, length, this);
    }

    ResultCode Send(const std::string& text) {
        const ovQoSBlock block = {reinterpret_cast<const uint8_t*>(text.data()),
                                  (int32_t)text.size()};
        return SendFromLayer(&block);
    }
    int Count(const std::string& what) const {
        int n = 0;
        for (const std::string& e : events)
            n += e == what;
        return n;
    }

    std::vector<std::string> events;
    // Each offer as it came (before the rule), and the bytes taken.
    std::vector<std::string> offers;
    bool recordOffers = true;
    bool oneBitePerCall = false;
    std::string taken;
    // How many of `length` offered bytes to take; all by default.
    std::function<int32_t(int32_t length)> rule;
    std::function<void()> onConnected;
    std::function<void()> onClosed;
    std::function<void()> onDrained;
    std::function<void(const std::string&)> onData;

  private:
    static int32_t Raw(const uint8_t* data, int32_t length, void* user) {
        TopLayer* self = static_cast<TopLayer*>(user);
        if (self->recordOffers)
            self->offers.emplace_back(reinterpret_cast<const char*>(data), (size_t)length);
        const int32_t n = self->rule ? self->rule(length) : length;
        if (n > 0 && n <= length)
            self->taken.append(reinterpret_cast<const char*>(data), (size_t)n);
        if (self->onData && n > 0 && n <= length)
            self->onData(std::string(reinterpret_cast<const char*>(data), (size_t)n));
        return n;
    }
};

// The app-data folder pointed into a temporary folder, the service log
// emptied, and the log's text on demand.
class LogCapture {
  public:
    LogCapture() {
        if (!m_tmp.Ok())
            return;
        m_redirect.reset(
            new supporttest::AppDataRedirect(m_tmp.Win("appdata"), m_tmp.Native("appdata")));
        LogReset();
        LogInstallSink();  // the TLS layer logs through the library's sink
    }
    ~LogCapture() { m_redirect.reset(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool Ok() const { return m_tmp.Ok(); }
    std::string Text() const {
        return supporttest::ReadWholeFile(
            m_tmp.Native("appdata\\Ludra\\ldDownloader\\config\\service.log"));
    }
    // How many log lines contain `needle`.
    int Lines(const std::string& needle) const {
        const std::string text = Text();
        int n = 0;
        for (size_t at = text.find(needle); at != std::string::npos;
             at = text.find(needle, at + needle.size()))
            ++n;
        return n;
    }

  private:
    supporttest::TempFolder m_tmp;
    std::unique_ptr<supporttest::AppDataRedirect> m_redirect;
};

// The record layer of a fatal alert: TLS 1.2 record version, `description`.
inline std::string AlertRecord(uint8_t description) {
    const char bytes[] = {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, (char)description};
    return std::string(bytes, sizeof bytes);
}

}  // namespace tlstest
