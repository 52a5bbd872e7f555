// The real servers of the network tests: nginx (http, https with a trusted
// self-signed certificate, https with an untrusted one, https with a
// certificate for another host) and the scripted fault server, started by
// the ctest fixture "servers" (tests/support/Servers.cmake) for the whole
// build tree. Test programs that use them are added with
// `sf_add_test(... FIXTURES servers)`.
//
// What each port serves is listed at the top of
// tests/support/servers/start-servers (document root, nginx locations) and
// tests/support/servers/fault_server.py (fault scenarios by path).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace sftest {

class TestServers {
  public:
    // False when servers.env could not be read (the fixture did not run);
    // Error() says why.
    bool Ok() const { return m_ok; }
    const std::string& Error() const { return m_error; }

    uint16_t HttpPort() const { return m_httpPort; }
    uint16_t HttpsPort() const { return m_httpsPort; }
    uint16_t HttpsUntrustedPort() const { return m_httpsUntrustedPort; }
    uint16_t HttpsWrongHostPort() const { return m_httpsWrongHostPort; }
    uint16_t FaultPort() const { return m_faultPort; }
    uint16_t TlsAlertPort() const { return m_tlsAlertPort; }
    // The stand-in statistics agent (tools/stats_agent.py).
    uint16_t AgentPort() const { return m_agentPort; }

    // "http://<host>:<port>" + path; `path` starts with "/".
    std::string HttpUrl(const std::string& path, const std::string& host = "127.0.0.1") const;
    std::string HttpsUrl(const std::string& path, const std::string& host = "127.0.0.1") const;
    std::string HttpsUntrustedUrl(const std::string& path) const;
    std::string HttpsWrongHostUrl(const std::string& path) const;
    // The fault server's URL for a scenario path such as "/short-body".
    std::string FaultUrl(const std::string& scenario) const;
    // The fault server's /redirect-to answering `status` with `location`,
    // every byte of it escaped so that it arrives exactly as given.
    std::string FaultRedirectUrl(int status, const std::string& location) const;
    // An https URL of the TLS alert endpoint.
    std::string TlsAlertUrl(const std::string& path) const;

    // PEM text of the certificate the tests trust (AddTrustedCertificate),
    // of the one they must refuse, and of the wrong-host one.
    const std::string& CertPem() const { return m_certPem; }
    const std::string& UntrustedCertPem() const { return m_untrustedCertPem; }
    const std::string& WrongHostCertPem() const { return m_wrongHostCertPem; }

    // Native path (Windows form under Wine) of a document root file, e.g.
    // "files/list.txt"; `relative` is UTF-8 with '/' separators.
    std::string DocRootPath(const std::string& relative) const;
    // The bytes nginx serves for "/" + relative; empty with `ok` false when
    // the file cannot be read.
    std::vector<unsigned char> DocRootFile(const std::string& relative, bool* ok = nullptr) const;

    // Request lines the fault server received so far, one per request, bytes
    // as sent by the client. Shared by every program of the run: look for
    // a marker of your own.
    std::vector<std::string> FaultRequestLines() const;
    // Lines the statistics agent logged so far, one per report (format at
    // the top of tools/stats_agent.py). Shared like the fault log: find your
    // own by the job name, which every record carries as its tag.
    std::vector<std::string> AgentReportLines() const;
    // nginx's lines, one per request: "<connection> <requests on it>
    // <TLS resumed: r or .> \"<request line>\"". Shared like the fault log.
    std::vector<std::string> NginxConnectionLines() const;

    // FileVersion of the stand-in engine whose update content the document
    // root holds (manifest at "/ActiveX/update/KVX_updater.xml"); empty when
    // the build made no engine.
    const std::string& EngineVersion() const { return m_engineVersion; }

    // Loads servers.env named by the environment variable SF_TEST_SERVERS.
    void Load();

  private:
    std::vector<std::string> LogLines(const std::string& path) const;

    bool m_ok = false;
    std::string m_error;
    uint16_t m_httpPort = 0;
    uint16_t m_httpsPort = 0;
    uint16_t m_httpsUntrustedPort = 0;
    uint16_t m_httpsWrongHostPort = 0;
    uint16_t m_faultPort = 0;
    uint16_t m_tlsAlertPort = 0;
    uint16_t m_agentPort = 0;
    std::string m_certPem;
    std::string m_untrustedCertPem;
    std::string m_wrongHostCertPem;
    std::string m_docRoot;  // native form
    std::string m_engineVersion;
    std::string m_faultLog;       // native form
    std::string m_agentLog;       // native form
    std::string m_connectionLog;  // native form
};

// The servers of this run, loaded on first use.
const TestServers& Servers();

// Body bytes of the fault scenarios: byte i is i % 256.
std::vector<unsigned char> FaultPattern(size_t count);

// UTF-8 name of the document root's Korean file: "files/<Hangul>.txt".
std::string KoreanDocFile();

}  // namespace sftest
