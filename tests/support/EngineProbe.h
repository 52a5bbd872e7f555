// Test helpers for the local engine protocol: builders of the engine's report
// payloads and a listener that writes every call it gets as one line of text.
#pragma once

#include <stdint.h>

#include <sstream>
#include <string>
#include <vector>

#include "opn/opeerqos/nwICDNLocalClientEventListener.h"

namespace engineprobe {

inline std::string U32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[(size_t)i] = (char)(v >> (8 * i));
    return s;
}

inline std::string U64(uint64_t v) {
    return U32((uint32_t)v) + U32((uint32_t)(v >> 32));
}

// Text[size]: the text, then zeros up to the field's size.
inline std::string Fixed(const std::string& text, size_t size) {
    std::string s = text.substr(0, size);
    s.resize(size, '\0');
    return s;
}

inline std::string Z(const std::string& text) {
    return text + std::string(1, '\0');
}

inline std::string Tail(char seed) {
    std::string s(16, '\0');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = (char)(seed + i);
    return s;
}

// Progress block: the named fields set, the unnamed ones 0xAA-filled.
inline std::string ProgressBlock(uint32_t job, uint32_t id, uint32_t counter, uint32_t index,
                                 uint64_t total, uint64_t done, uint32_t speed, uint64_t stamp,
                                 uint32_t count) {
    const std::string unnamed(4, (char)0xAA);
    return U32(job) + U32(id) + unnamed + U32(counter) + U32(index) + U64(total) + U64(done) +
           U32(speed) + unnamed + U64(stamp) + unnamed + unnamed + U32(count);
}

// Entry report: name, sizes, speed, 12 further bytes, then its text.
inline std::string EntryReport(const std::string& name, uint64_t total, uint64_t done,
                               uint32_t speed, const std::string& text) {
    return Fixed(name, 33) + U64(total) + U64(done) + U32(speed) + std::string(12, (char)0x55) +
           Z(text);
}

class Probe : public nwICDNLocalClientEventListener {
  public:
    std::vector<std::string> calls;
    std::vector<uint32_t> keys;

    void OnEngineConnected(uint32_t key) override { Note(key, "connected"); }
    void OnJobAccepted(uint32_t key, uint32_t job, uint32_t id, uint32_t count,
                       uint64_t total) override {
        Note(key, Line() << "accepted " << job << ' ' << id << ' ' << count << ' ' << total);
    }
    void OnJobFailed(uint32_t key, uint32_t job, uint32_t value, const char* text,
                     const uint8_t* tail) override {
        Note(key, Line() << "failed " << job << ' ' << value << " '" << text << "' tail "
                         << std::hex << (int)tail[0] << ".." << (int)tail[15]);
    }
    void OnJobProgress(uint32_t key, const nwEngineProgressBlock& b,
                       const nwEngineEntryReport* reports, uint32_t count) override {
        Line line;
        line << "progress " << b.jobNumber << ' ' << b.engineJobId << " c" << b.counter << " i"
             << b.entryIndex << ' ' << b.bytesDone << '/' << b.totalBytes << ' ' << b.speed << " t"
             << b.timeStamp << " n" << count;
        for (uint32_t i = 0; i < count; ++i)
            line << " [" << reports[i].name << ' ' << reports[i].bytesDone << '/'
                 << reports[i].totalBytes << ' ' << reports[i].speed << " '" << reports[i].text
                 << "']";
        Note(key, line);
    }
    void OnFileDone(uint32_t key, uint32_t job, uint32_t id, const char* path,
                    const char* url) override {
        Note(key, Line() << "done " << job << ' ' << id << " '" << path << "' '" << url << "'");
    }
    void OnFileDoneAs(uint32_t key, uint32_t job, uint32_t id, const char* path,
                      const char* reported, const char* url) override {
        Note(key, Line() << "done-as " << job << ' ' << id << " '" << path << "' '" << reported
                         << "' '" << url << "'");
    }
    void OnJobFinished(uint32_t key, uint32_t job, uint32_t id, uint32_t value, uint32_t result,
                       uint32_t giveUp) override {
        Note(key, Line() << "finished " << job << ' ' << id << ' ' << value << ' ' << result << ' '
                         << giveUp);
    }
    void OnDiskReport(uint32_t key, uint32_t job, uint32_t id, uint8_t flag,
                      const char* text) override {
        Note(key, Line() << "disk " << job << ' ' << id << ' ' << (int)flag << " '" << text << "'");
    }
    void OnNetworkLost(uint32_t key) override { Note(key, "network-lost"); }
    void OnNetworkBack(uint32_t key) override { Note(key, "network-back"); }
    void OnEngineClosed(uint32_t key) override { Note(key, "closed"); }
    void OnEngineConnectFailed(uint32_t key) override { Note(key, "connect-failed"); }
    void OnResumeQuestion(uint32_t key, uint32_t job) override {
        Note(key, Line() << "resume? " << job);
    }
    void OnEngineState(uint32_t key, uint32_t state) override {
        Note(key, Line() << "state " << state);
    }

    int Count(const std::string& prefix) const {
        int n = 0;
        for (const std::string& call : calls)
            n += call.compare(0, prefix.size(), prefix) == 0;
        return n;
    }

  private:
    typedef std::ostringstream Line;
    void Note(uint32_t key, const std::string& line) {
        calls.push_back(line);
        keys.push_back(key);
    }
    void Note(uint32_t key, const std::ostream& line) {
        Note(key, static_cast<const std::ostringstream&>(line).str());
    }
};

}  // namespace engineprobe
