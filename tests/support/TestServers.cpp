#include "support/TestServers.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#endif

namespace sftest {

namespace {

// The fixture writes POSIX paths; a Wine program sees "/" as drive Z:.
std::string NativePath(const std::string& posix) {
#ifdef _WIN32
    std::string path = posix;
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
#else
    return posix;
#endif
}

// Opens a file by its UTF-8 name (wide name on Windows, where narrow names
// are in the ANSI code page).
FILE* OpenUtf8(const std::string& path) {
#ifdef _WIN32
    int count = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    if (count <= 0)
        return nullptr;
    std::wstring wide((size_t)count, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, &wide[0], count);
    return _wfopen(wide.c_str(), L"rb");
#else
    return fopen(path.c_str(), "rb");
#endif
}

bool ReadWhole(const std::string& path, std::string* out) {
    out->clear();
    FILE* f = OpenUtf8(path);
    if (f == nullptr)
        return false;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        out->append(chunk, n);
    fclose(f);
    return true;
}

uint16_t ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5)
        return 0;
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + (unsigned long)(c - '0');
    }
    return value <= 65535 ? (uint16_t)value : 0;
}

std::string Url(const char* scheme, const std::string& host, uint16_t port,
                const std::string& path) {
    return std::string(scheme) + "://" + host + ":" + std::to_string(port) + path;
}

}  // namespace

std::string TestServers::HttpUrl(const std::string& path, const std::string& host) const {
    return Url("http", host, m_httpPort, path);
}

std::string TestServers::HttpsUrl(const std::string& path, const std::string& host) const {
    return Url("https", host, m_httpsPort, path);
}

std::string TestServers::HttpsUntrustedUrl(const std::string& path) const {
    return Url("https", "127.0.0.1", m_httpsUntrustedPort, path);
}

std::string TestServers::HttpsWrongHostUrl(const std::string& path) const {
    return Url("https", "127.0.0.1", m_httpsWrongHostPort, path);
}

std::string TestServers::FaultUrl(const std::string& scenario) const {
    return Url("http", "127.0.0.1", m_faultPort, scenario);
}

std::string TestServers::FaultRedirectUrl(int status, const std::string& location) const {
    static const char kHex[] = "0123456789ABCDEF";
    std::string query;
    for (unsigned char c : location) {
        query += '%';
        query += kHex[c >> 4];
        query += kHex[c & 15];
    }
    return FaultUrl("/redirect-to?status=" + std::to_string(status) + "&loc=" + query);
}

std::string TestServers::TlsAlertUrl(const std::string& path) const {
    return Url("https", "127.0.0.1", m_tlsAlertPort, path);
}

std::string TestServers::DocRootPath(const std::string& relative) const {
    std::string path = m_docRoot + "/" + relative;
#ifdef _WIN32
    for (char& c : path)
        if (c == '/')
            c = '\\';
#endif
    return path;
}

std::vector<unsigned char> TestServers::DocRootFile(const std::string& relative, bool* ok) const {
    std::string bytes;
    bool read = m_ok && ReadWhole(DocRootPath(relative), &bytes);
    if (ok)
        *ok = read;
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

std::vector<std::string> TestServers::FaultRequestLines() const {
    return LogLines(m_faultLog);
}

std::vector<std::string> TestServers::AgentReportLines() const {
    return LogLines(m_agentLog);
}

std::vector<std::string> TestServers::NginxConnectionLines() const {
    return LogLines(m_connectionLog);
}

std::vector<std::string> TestServers::LogLines(const std::string& path) const {
    std::vector<std::string> lines;
    std::string text;
    if (!m_ok || !ReadWhole(path, &text))
        return lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void TestServers::Load() {
    m_ok = false;
    const char* env = getenv("SF_TEST_SERVERS");
    if (env == nullptr || *env == '\0') {
        m_error = "SF_TEST_SERVERS is not set (run the test through ctest with FIXTURES servers)";
        return;
    }
    std::string text;
    std::string envPath = NativePath(env);
    if (!ReadWhole(envPath, &text)) {
        m_error = "cannot read " + envPath + " (did the servers_start fixture pass?)";
        return;
    }
    std::string certPath, untrustedPath, wrongHostPath;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        if (key == "HTTP_PORT")
            m_httpPort = ParsePort(value);
        else if (key == "HTTPS_PORT")
            m_httpsPort = ParsePort(value);
        else if (key == "HTTPS_UNTRUSTED_PORT")
            m_httpsUntrustedPort = ParsePort(value);
        else if (key == "HTTPS_WRONGHOST_PORT")
            m_httpsWrongHostPort = ParsePort(value);
        else if (key == "FAULT_PORT")
            m_faultPort = ParsePort(value);
        else if (key == "TLS_ALERT_PORT")
            m_tlsAlertPort = ParsePort(value);
        else if (key == "AGENT_PORT")
            m_agentPort = ParsePort(value);
        else if (key == "AGENT_LOG")
            m_agentLog = NativePath(value);
        else if (key == "CERT_PEM")
            certPath = NativePath(value);
        else if (key == "UNTRUSTED_CERT_PEM")
            untrustedPath = NativePath(value);
        else if (key == "WRONGHOST_CERT_PEM")
            wrongHostPath = NativePath(value);
        else if (key == "DOCROOT")
            m_docRoot = NativePath(value);
        else if (key == "ENGINE_VERSION")
            m_engineVersion = value;
        else if (key == "FAULT_LOG")
            m_faultLog = NativePath(value);
        else if (key == "CONNECTION_LOG")
            m_connectionLog = NativePath(value);
    }
    if (m_httpPort == 0 || m_httpsPort == 0 || m_httpsUntrustedPort == 0 ||
        m_httpsWrongHostPort == 0 || m_faultPort == 0 || m_tlsAlertPort == 0 || m_agentPort == 0 ||
        m_docRoot.empty() || m_faultLog.empty() || m_agentLog.empty()) {
        m_error = envPath + " lacks a port or a path";
        return;
    }
    if (!ReadWhole(certPath, &m_certPem) || !ReadWhole(untrustedPath, &m_untrustedCertPem) ||
        !ReadWhole(wrongHostPath, &m_wrongHostCertPem)) {
        m_error = "cannot read the test certificates named in " + envPath;
        return;
    }
    m_error.clear();
    m_ok = true;
}

const TestServers& Servers() {
    static const TestServers servers = [] {
        TestServers s;
        s.Load();
        return s;
    }();
    return servers;
}

std::vector<unsigned char> FaultPattern(size_t count) {
    std::vector<unsigned char> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = (unsigned char)(i % 256);
    return bytes;
}

std::string KoreanDocFile() {
    return "files/\xED\x95\x9C\xEA\xB8\x80.txt";
}

}  // namespace sftest
