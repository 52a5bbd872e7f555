// The test servers (tests/support/servers/start-servers: nginx over
// loopback, http and https with a self-signed certificate) in a temporary
// folder of their own for one benchmark run, stopped again on destruction.
// Native Linux only.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#ifndef SF_SOURCE_DIR
#error "SF_SOURCE_DIR must name the source tree"
#endif

namespace bench {

// `text` in single quotes for the shell.
inline std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

class Servers {
  public:
    // With `engine` (a stand-in engine program) and its version, the
    // engine's update content is served too.
    bool Start(const std::string& engine = "", const std::string& version = "") {
        const char* base = getenv("SF_TEST_TMP_DIR");
        const std::string root = base != nullptr && *base ? base : "/tmp";
        if (system(("mkdir -p " + Quote(root)).c_str()) != 0)
            return false;
        std::string pattern = root + "/bench_servers.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr)
            return false;
        m_dir = name.data();
        // nginx's worker may run as another user and must read the files.
        if (system(("chmod 755 " + Quote(m_dir)).c_str()) != 0)
            return false;
        m_started = true;
        const std::string start =
            "bash " + Quote(Script("start-servers")) + " " + Quote(m_dir + "/servers") +
            (engine.empty() ? "" : " " + Quote(engine) + " " + Quote(version)) + " >&2";
        if (system(start.c_str()) != 0)
            return false;
        std::ifstream env(m_dir + "/servers/servers.env");
        std::string line;
        while (std::getline(env, line)) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos)
                m_values[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return !Value("HTTP_PORT").empty();
    }
    ~Servers() {
        if (m_started) {
            const std::string stop =
                "bash " + Quote(Script("stop-servers")) + " " + Quote(m_dir + "/servers") + " >&2";
            if (system(stop.c_str()) != 0)
                fprintf(stderr, "the servers did not stop cleanly\n");
        }
        if (!m_dir.empty() && system(("rm -rf " + Quote(m_dir)).c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", m_dir.c_str());
    }
    std::string Value(const std::string& key) const {
        auto it = m_values.find(key);
        return it == m_values.end() ? std::string() : it->second;
    }
    // nginx's access log, in its default (combined) format: after the quoted
    // request line come the status and the body bytes sent.
    std::string AccessLog() const { return m_dir + "/servers/nginx/logs/access.log"; }
    std::string ReadCertificate() const {
        std::ifstream in(Value("CERT_PEM"), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    static std::string Script(const char* name) {
        return std::string(SF_SOURCE_DIR) + "/tests/support/servers/" + name;
    }

    std::string m_dir;
    bool m_started = false;
    std::map<std::string, std::string> m_values;
};

}  // namespace bench
