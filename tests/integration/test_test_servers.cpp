// The test servers themselves, seen through plain OS sockets and OpenSSL:
// nginx serves the document root byte for byte, ranges and redirects; the
// fault server plays its scenarios; the https ports present certificates that
// verify (or not) as the network tests expect.
#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include "support/TestServers.h"

namespace {

#ifdef _WIN32
using Sock = SOCKET;
const Sock kNoSock = INVALID_SOCKET;
void CloseSock(Sock s) {
    closesocket(s);
}
#else
using Sock = int;
const Sock kNoSock = -1;
void CloseSock(Sock s) {
    close(s);
}
#endif

const size_t kReceiveLimit = 32u * 1024 * 1024;

void SetReceiveTimeout(Sock s, int ms) {
#ifdef _WIN32
    DWORD value = (DWORD)ms;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&value, sizeof value);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, (const char*)&value, sizeof value);
#else
    timeval value;
    value.tv_sec = ms / 1000;
    value.tv_usec = (ms % 1000) * 1000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
#endif
}

// A blocking connection to 127.0.0.1:port with 10 s send and receive limits.
Sock Connect(uint16_t port) {
    Sock s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kNoSock)
        return kNoSock;
    SetReceiveTimeout(s, 10000);
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, (const sockaddr*)&to, sizeof to) != 0) {
        CloseSock(s);
        return kNoSock;
    }
    return s;
}

bool SendAll(Sock s, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        int n = send(s, data.data() + sent, (int)(data.size() - sent), 0);
        if (n <= 0)
            return false;
        sent += (size_t)n;
    }
    return true;
}

// Receives until the peer closes, an error or time-out, or the limit.
// `closed` tells whether the peer closed.
std::string ReceiveAll(Sock s, bool* closed = nullptr, size_t limit = kReceiveLimit) {
    std::string data;
    char chunk[65536];
    if (closed)
        *closed = false;
    while (data.size() < limit) {
        int n = recv(s, chunk, (int)sizeof chunk, 0);
        if (n == 0 && closed)
            *closed = true;
        if (n <= 0)
            break;
        data.append(chunk, (size_t)n);
    }
    return data;
}

struct Response {
    bool complete = false;  // a head ending in an empty line arrived
    int status = 0;
    std::string head;
    std::string body;

    // Value of the first header named `name` (case-insensitive), or "".
    std::string Header(const std::string& name, bool* found = nullptr) const {
        if (found)
            *found = false;
        size_t start = head.find("\r\n");
        while (start != std::string::npos && start + 2 < head.size()) {
            start += 2;
            size_t end = head.find("\r\n", start);
            if (end == std::string::npos)
                break;
            std::string line = head.substr(start, end - start);
            size_t colon = line.find(':');
            if (colon == name.size()) {
                bool same = true;
                for (size_t i = 0; i < colon && same; ++i)
                    same = tolower((unsigned char)line[i]) == tolower((unsigned char)name[i]);
                if (same) {
                    if (found)
                        *found = true;
                    size_t v = colon + 1;
                    while (v < line.size() && line[v] == ' ')
                        ++v;
                    return line.substr(v);
                }
            }
            start = end;
        }
        return "";
    }
};

Response Parse(const std::string& raw) {
    Response r;
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) {
        r.head = raw;
        return r;
    }
    r.complete = true;
    r.head = raw.substr(0, end + 4);
    r.body = raw.substr(end + 4);
    if (r.head.compare(0, 9, "HTTP/1.1 ") == 0)
        r.status = atoi(r.head.c_str() + 9);
    return r;
}

std::string Request(const std::string& target, const std::string& extra = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra +
           "\r\n";
}

// One request on a fresh connection; the whole answer up to the close.
Response Get(uint16_t port, const std::string& target, const std::string& extra = "") {
    Response r;
    Sock s = Connect(port);
    if (s == kNoSock)
        return r;
    if (SendAll(s, Request(target, extra)))
        r = Parse(ReceiveAll(s));
    CloseSock(s);
    return r;
}

// The head and the first `bodyBytes` of the body, for answers that hold the
// connection open afterwards.
Response GetPrefix(uint16_t port, const std::string& target, size_t bodyBytes) {
    Response r;
    Sock s = Connect(port);
    if (s == kNoSock)
        return r;
    if (SendAll(s, Request(target))) {
        std::string raw;
        char chunk[4096];
        while (raw.size() < kReceiveLimit) {
            r = Parse(raw);
            if (r.complete && r.body.size() >= bodyBytes)
                break;
            int n = recv(s, chunk, (int)sizeof chunk, 0);
            if (n <= 0)
                break;
            raw.append(chunk, (size_t)n);
        }
    }
    CloseSock(s);
    return r;
}

std::string Text(const std::vector<unsigned char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// --- TLS through OpenSSL over a plain socket ----------------------------------

struct TlsOutcome {
    bool handshake = false;
    long verifyResult = -1;
    unsigned long firstError = 0;  // first entry of OpenSSL's error queue
    Response response;             // when a request was given and sent
};

struct TlsOptions {
    std::string trustPem;    // empty: no verification
    std::string expectIp;    // checked against the certificate when set
    std::string expectHost;  // checked and sent as SNI when set
    std::string request;     // sent after the handshake when set
};

X509* ParsePem(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), (int)pem.size());
    if (bio == nullptr)
        return nullptr;
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return cert;
}

TlsOutcome TlsConnect(uint16_t port, const TlsOptions& options) {
    TlsOutcome out;
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr)
        return out;
    if (!options.trustPem.empty()) {
        X509* anchor = ParsePem(options.trustPem);
        if (anchor == nullptr) {
            SSL_CTX_free(ctx);
            return out;
        }
        X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx), anchor);
        X509_free(anchor);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    }
    SSL* ssl = SSL_new(ctx);
    Sock s = Connect(port);
    if (ssl != nullptr && s != kNoSock) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
        if (!options.expectIp.empty())
            X509_VERIFY_PARAM_set1_ip_asc(param, options.expectIp.c_str());
        if (!options.expectHost.empty()) {
            X509_VERIFY_PARAM_set1_host(param, options.expectHost.c_str(), 0);
            SSL_set_tlsext_host_name(ssl, options.expectHost.c_str());
        }
        SSL_set_fd(ssl, (int)s);
        out.handshake = SSL_connect(ssl) == 1;
        out.verifyResult = SSL_get_verify_result(ssl);
        out.firstError = ERR_peek_error();
        if (out.handshake && !options.request.empty() &&
            SSL_write(ssl, options.request.data(), (int)options.request.size()) ==
                (int)options.request.size()) {
            std::string raw;
            char chunk[16384];
            int n;
            while (raw.size() < kReceiveLimit && (n = SSL_read(ssl, chunk, (int)sizeof chunk)) > 0)
                raw.append(chunk, (size_t)n);
            out.response = Parse(raw);
        }
    }
    if (ssl != nullptr)
        SSL_free(ssl);
    if (s != kNoSock)
        CloseSock(s);
    SSL_CTX_free(ctx);
    ERR_clear_error();
    return out;
}

class TestServersTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
#ifdef _WIN32
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
#endif
    }
    static void TearDownTestSuite() {
#ifdef _WIN32
        WSACleanup();
#endif
    }
    void SetUp() override {
        ASSERT_TRUE(sftest::Servers().Ok()) << sftest::Servers().Error();
    }

    const sftest::TestServers& S() const {
        return sftest::Servers();
    }
};

// --- the description of the servers ---------------------------------------------

TEST_F(TestServersTest, EnvironmentNamesDistinctPortsCertificatesAndDocRoot) {
    std::vector<uint16_t> ports = {S().HttpPort(),           S().HttpsPort(),
                                   S().HttpsUntrustedPort(), S().HttpsWrongHostPort(),
                                   S().FaultPort(),          S().TlsAlertPort()};
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_NE(ports[i], 0);
        for (size_t j = i + 1; j < ports.size(); ++j)
            EXPECT_NE(ports[i], ports[j]);
    }
    EXPECT_EQ(S().CertPem().rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
    EXPECT_EQ(S().UntrustedCertPem().rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
    EXPECT_NE(S().CertPem(), S().UntrustedCertPem());
    EXPECT_EQ(S().HttpUrl("/a"), "http://127.0.0.1:" + std::to_string(S().HttpPort()) + "/a");
    EXPECT_EQ(S().HttpsUrl("/b", "localhost"),
              "https://localhost:" + std::to_string(S().HttpsPort()) + "/b");
    EXPECT_EQ(S().FaultUrl("/ok"), "http://127.0.0.1:" + std::to_string(S().FaultPort()) + "/ok");
    bool ok = false;
    EXPECT_EQ(S().DocRootFile("files/random-1m.bin", &ok).size(), 1048576u);
    EXPECT_TRUE(ok);
    S().DocRootFile("files/no-such-file", &ok);
    EXPECT_FALSE(ok);
}

// --- nginx over http ---------------------------------------------------------------

TEST_F(TestServersTest, NginxServesDocRootFilesByteForByte) {
    const char* files[] = {"files/list.txt", "files/skin.zip", "files/random-1m.bin",
                           "files/empty.txt"};
    for (const char* file : files) {
        SCOPED_TRACE(file);
        bool ok = false;
        std::vector<unsigned char> expected = S().DocRootFile(file, &ok);
        ASSERT_TRUE(ok);
        Response r = Get(S().HttpPort(), std::string("/") + file);
        ASSERT_TRUE(r.complete);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.Header("Content-Length"), std::to_string(expected.size()));
        EXPECT_TRUE(r.body == Text(expected)) << "body of " << r.body.size() << " bytes differs";
    }
    bool ok = false;
    std::vector<unsigned char> zip = S().DocRootFile("files/skin.zip", &ok);
    ASSERT_GE(zip.size(), 4u);
    EXPECT_EQ(memcmp(zip.data(), "PK\x03\x04", 4), 0);
}

TEST_F(TestServersTest, FileListNamesFilesOfTheHttpServer) {
    std::string list = Text(S().DocRootFile("files/list.txt"));
    ASSERT_FALSE(list.empty());
    size_t lines = 0;
    for (size_t start = 0; start < list.size();) {
        size_t end = list.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        std::string url = list.substr(start, end - start);
        EXPECT_EQ(url.rfind(S().HttpUrl("/files/"), 0), 0u) << url;
        EXPECT_EQ(Get(S().HttpPort(), url.substr(url.find("/files/"))).status, 200) << url;
        start = end + 2;
        ++lines;
    }
    EXPECT_GE(lines, 3u);
}

TEST_F(TestServersTest, NginxAnswersARangeWith206) {
    std::vector<unsigned char> whole = S().DocRootFile("files/random-16m.bin");
    ASSERT_EQ(whole.size(), 16777216u);
    Response r = Get(S().HttpPort(), "/files/random-16m.bin", "Range: bytes=1000-1999\r\n");
    EXPECT_EQ(r.status, 206);
    EXPECT_EQ(r.Header("Content-Range"), "bytes 1000-1999/16777216");
    EXPECT_EQ(r.Header("Content-Length"), "1000");
    EXPECT_TRUE(r.body == std::string(whole.begin() + 1000, whole.begin() + 2000));

    Response tail = Get(S().HttpPort(), "/files/random-1m.bin", "Range: bytes=1048000-\r\n");
    EXPECT_EQ(tail.status, 206);
    EXPECT_EQ(tail.body.size(), 576u);
}

TEST_F(TestServersTest, NginxRedirectsAndMissingFiles) {
    Response r302 = Get(S().HttpPort(), "/redirect-302");
    EXPECT_EQ(r302.status, 302);
    EXPECT_EQ(r302.Header("Location"), S().HttpUrl("/files/list.txt"));
    Response r303 = Get(S().HttpPort(), "/redirect-303");
    EXPECT_EQ(r303.status, 303);
    EXPECT_EQ(r303.Header("Location"), S().HttpUrl("/files/skin.zip"));
    Response loop = Get(S().HttpPort(), "/redirect-loop");
    EXPECT_EQ(loop.status, 302);
    EXPECT_EQ(loop.Header("Location"), S().HttpUrl("/redirect-loop"));
    EXPECT_EQ(Get(S().HttpPort(), "/to-https").Header("Location"), S().HttpsUrl("/files/list.txt"));
    EXPECT_EQ(Get(S().HttpPort(), "/status/404").status, 404);
    EXPECT_EQ(Get(S().HttpPort(), "/files/no-such-file.bin").status, 404);
}

TEST_F(TestServersTest, NginxServesTheKoreanFileName) {
    bool ok = false;
    std::vector<unsigned char> expected = S().DocRootFile(sftest::KoreanDocFile(), &ok);
    ASSERT_TRUE(ok);
    Response r = Get(S().HttpPort(), "/files/%ED%95%9C%EA%B8%80.txt");
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.body == Text(expected));
}

// --- the fault server ---------------------------------------------------------------

TEST_F(TestServersTest, FaultSplitHeadArrivesWhole) {
    Response r = Get(S().FaultPort(), "/split-head");
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.Header("X-Split"), "three-pieces");
    EXPECT_TRUE(r.body == Text(sftest::FaultPattern(32)));
}

TEST_F(TestServersTest, FaultBodiesShortBeyondAndWithoutLength) {
    Response shortBody = Get(S().FaultPort(), "/short-body");
    EXPECT_EQ(shortBody.Header("Content-Length"), "1000");
    EXPECT_TRUE(shortBody.body == Text(sftest::FaultPattern(100)));

    Response beyond = Get(S().FaultPort(), "/beyond-length");
    EXPECT_EQ(beyond.Header("Content-Length"), "16");
    EXPECT_TRUE(beyond.body == Text(sftest::FaultPattern(16 + 4096)));

    bool found = true;
    Response noLength = Get(S().FaultPort(), "/no-length");
    noLength.Header("Content-Length", &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(noLength.body.size(), 1000u);

    Response zero = Get(S().FaultPort(), "/zero-length");
    EXPECT_EQ(zero.status, 200);
    EXPECT_EQ(zero.Header("Content-Length"), "0");
    EXPECT_TRUE(zero.body.empty());

    Response huge = GetPrefix(S().FaultPort(), "/huge-length", 1024);
    EXPECT_EQ(huge.Header("Content-Length"), "10737418240");
    EXPECT_TRUE(huge.body == Text(sftest::FaultPattern(1024)));
    EXPECT_EQ(Get(S().FaultPort(), "/status/500").status, 500);
}

TEST_F(TestServersTest, FaultRedirects) {
    Response korean = Get(S().FaultPort(), "/redirect-korean?status=303");
    EXPECT_EQ(korean.status, 303);
    EXPECT_EQ(korean.Header("Location"), S().FaultUrl("/echo/\xED\x95\x9C\xEA\xB8\x80.txt"));

    bool found = true;
    Response none = Get(S().FaultPort(), "/redirect-no-location");
    EXPECT_EQ(none.status, 302);
    none.Header("Location", &found);
    EXPECT_FALSE(found);

    EXPECT_EQ(Get(S().FaultPort(), "/hops/2").Header("Location"), S().FaultUrl("/hops/1"));
    EXPECT_EQ(Get(S().FaultPort(), "/hops/0").Header("Location"), S().FaultUrl("/ok"));
    EXPECT_EQ(Get(S().FaultPort(), "/redirect-chain/7").Header("Location"),
              S().FaultUrl("/redirect-chain/8"));
}

TEST_F(TestServersTest, FaultEchoReturnsTheExactRequestAndLogsIt) {
    std::string marker = "echo-" + std::to_string((long long)time(nullptr)) + "-" +
                         std::to_string((unsigned long long)(uintptr_t)this);
    std::string request = Request("/echo/" + marker + "?q=%20x", "X-Test: \xEA\xB0\x80\r\n");
    Sock s = Connect(S().FaultPort());
    ASSERT_NE(s, kNoSock);
    ASSERT_TRUE(SendAll(s, request));
    Response r = Parse(ReceiveAll(s));
    CloseSock(s);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, request);

    std::string wanted = "GET /echo/" + marker + "?q=%20x HTTP/1.1";
    int seen = 0;
    for (const std::string& line : S().FaultRequestLines())
        if (line == wanted)
            ++seen;
    EXPECT_EQ(seen, 1);
}

TEST_F(TestServersTest, FaultStallAfterHeadKeepsTheConnectionSilent) {
    Sock s = Connect(S().FaultPort());
    ASSERT_NE(s, kNoSock);
    ASSERT_TRUE(SendAll(s, Request("/stall-after-head")));
    // The head comes at once; after it nothing comes, and nothing closes.
    std::string head;
    char chunk[4096];
    for (int i = 0; i < 100 && head.find("\r\n\r\n") == std::string::npos; ++i) {
        int n = recv(s, chunk, (int)sizeof chunk, 0);
        if (n <= 0)
            break;
        head.append(chunk, (size_t)n);
    }
    EXPECT_EQ(Parse(head).Header("Content-Length"), "1000");
    EXPECT_EQ(Parse(head).body.size(), 0u);
    SetReceiveTimeout(s, 1000);
    bool closed = true;
    std::string more = ReceiveAll(s, &closed);
    EXPECT_TRUE(more.empty());
    EXPECT_FALSE(closed);
    CloseSock(s);
}

TEST_F(TestServersTest, FaultCloseBeforeHeadSendsNothing) {
    Sock s = Connect(S().FaultPort());
    ASSERT_NE(s, kNoSock);
    ASSERT_TRUE(SendAll(s, Request("/close-before-head")));
    bool closed = false;
    EXPECT_TRUE(ReceiveAll(s, &closed).empty());
    EXPECT_TRUE(closed);
    CloseSock(s);
}

// --- https ----------------------------------------------------------------------------

TEST_F(TestServersTest, HttpsCertificateVerifiesFor127001AndLocalhost) {
    TlsOptions byIp;
    byIp.trustPem = S().CertPem();
    byIp.expectIp = "127.0.0.1";
    byIp.request = Request("/files/list.txt");
    TlsOutcome ip = TlsConnect(S().HttpsPort(), byIp);
    ASSERT_TRUE(ip.handshake) << ERR_error_string(ip.firstError, nullptr);
    EXPECT_EQ(ip.verifyResult, X509_V_OK);
    EXPECT_EQ(ip.response.status, 200);
    EXPECT_TRUE(ip.response.body == Text(S().DocRootFile("files/list.txt")));

    TlsOptions byName;
    byName.trustPem = S().CertPem();
    byName.expectHost = "localhost";
    TlsOutcome name = TlsConnect(S().HttpsPort(), byName);
    EXPECT_TRUE(name.handshake);
    EXPECT_EQ(name.verifyResult, X509_V_OK);
}

TEST_F(TestServersTest, HttpsUntrustedCertificateIsRefused) {
    TlsOptions trusting;
    trusting.trustPem = S().CertPem();
    trusting.expectIp = "127.0.0.1";
    TlsOutcome refused = TlsConnect(S().HttpsUntrustedPort(), trusting);
    EXPECT_FALSE(refused.handshake);
    EXPECT_NE(refused.verifyResult, X509_V_OK);

    // The same port works when nothing is verified: only trust is missing.
    TlsOptions blind;
    blind.request = Request("/files/empty.txt");
    TlsOutcome accepted = TlsConnect(S().HttpsUntrustedPort(), blind);
    EXPECT_TRUE(accepted.handshake);
    EXPECT_EQ(accepted.response.status, 200);
}

TEST_F(TestServersTest, HttpsWrongHostCertificateFailsTheHostCheck) {
    TlsOptions options;
    options.trustPem = S().WrongHostCertPem();
    options.expectIp = "127.0.0.1";
    TlsOutcome mismatch = TlsConnect(S().HttpsWrongHostPort(), options);
    EXPECT_FALSE(mismatch.handshake);
    EXPECT_EQ(mismatch.verifyResult, X509_V_ERR_IP_ADDRESS_MISMATCH);

    options.expectIp.clear();
    options.expectHost = "wrong-host.invalid";
    EXPECT_TRUE(TlsConnect(S().HttpsWrongHostPort(), options).handshake);
}

TEST_F(TestServersTest, TlsAlertEndpointFailsTheHandshake) {
    TlsOutcome out = TlsConnect(S().TlsAlertPort(), TlsOptions());
    EXPECT_FALSE(out.handshake);
    EXPECT_EQ(ERR_GET_REASON(out.firstError), SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE)
        << ERR_error_string(out.firstError, nullptr);

    // On the wire: one alert record, fatal handshake_failure, then the close.
    Sock s = Connect(S().TlsAlertPort());
    ASSERT_NE(s, kNoSock);
    const unsigned char hello[] = {0x16, 0x03, 0x01, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00};
    ASSERT_TRUE(SendAll(s, std::string((const char*)hello, sizeof hello)));
    bool closed = false;
    EXPECT_EQ(ReceiveAll(s, &closed), std::string("\x15\x03\x03\x00\x02\x02\x28", 7));
    EXPECT_TRUE(closed);
    CloseSock(s);
}

}  // namespace
