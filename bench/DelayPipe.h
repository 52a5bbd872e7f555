// One direction of a connection through the latency proxy: what was read
// from one side waits here until its one-way delay has passed, then goes to
// the other side in the order it came. Pure bookkeeping (no sockets, the
// caller passes the clock), so the delay rules can be tested alone.
// Native Linux only, like the proxy.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <deque>
#include <string>
#include <string_view>

namespace bench {

class DelayPipe {
  public:
    // `delayUs`: the one-way delay of every chunk. `holdUntilUs`: nothing is
    // due before this moment plus the delay (the client's first bytes wait
    // for the handshake a real connection would have cost). `window`: the
    // bytes the pipe holds before the caller should stop reading its source
    // (a TCP window's worth in flight).
    DelayPipe(int64_t delayUs, int64_t holdUntilUs, size_t window)
        : m_delayUs(delayUs), m_holdUntilUs(holdUntilUs), m_window(window) {}

    // Whether the caller may read more from the source.
    bool HasRoom() const { return !m_sourceEnded && m_queued < m_window; }
    bool SourceEnded() const { return m_sourceEnded; }
    // The end was delivered: nothing more will come out of this pipe.
    bool Finished() const { return m_finished; }
    size_t Queued() const { return m_queued; }

    void Push(int64_t nowUs, const char* data, size_t size) {
        if (m_sourceEnded || size == 0)
            return;
        m_chunks.push_back(Chunk{DueAt(nowUs), std::string(data, size), false});
        m_queued += size;
    }
    // The source ended (its FIN, an error, or it went away); the end is
    // delivered after the chunks before it, with the same delay.
    void PushEnd(int64_t nowUs) {
        if (m_sourceEnded)
            return;
        m_sourceEnded = true;
        m_chunks.push_back(Chunk{DueAt(nowUs), std::string(), true});
    }

    // When the first waiting chunk (or the end) is due; -1 when none waits.
    int64_t NextDueUs() const { return m_chunks.empty() ? -1 : m_chunks.front().dueUs; }
    bool EndIsDue(int64_t nowUs) const {
        return !m_chunks.empty() && m_chunks.front().end && m_chunks.front().dueUs <= nowUs;
    }
    // The due bytes at the head, not yet taken: empty when nothing is due
    // (or the head is the end).
    std::string_view DueBytes(int64_t nowUs) const {
        if (m_chunks.empty() || m_chunks.front().end || m_chunks.front().dueUs > nowUs)
            return std::string_view();
        const Chunk& c = m_chunks.front();
        return std::string_view(c.bytes).substr(m_taken);
    }
    // `n` bytes of DueBytes() went out (or were dropped).
    void Take(size_t n) {
        Chunk& c = m_chunks.front();
        m_taken += n;
        m_queued -= n;
        if (m_taken == c.bytes.size()) {
            m_chunks.pop_front();
            m_taken = 0;
        }
    }
    // The due end went out.
    void TakeEnd() {
        m_chunks.pop_front();
        m_finished = true;
    }

  private:
    struct Chunk {
        int64_t dueUs;
        std::string bytes;
        bool end;
    };

    // Never earlier than a chunk before it, so the order holds even when
    // the clock or the hold would say otherwise.
    int64_t DueAt(int64_t nowUs) {
        m_lastDueUs = std::max(m_lastDueUs, std::max(nowUs, m_holdUntilUs) + m_delayUs);
        return m_lastDueUs;
    }

    const int64_t m_delayUs;
    const int64_t m_holdUntilUs;
    const size_t m_window;
    std::deque<Chunk> m_chunks;
    size_t m_taken = 0;  // bytes of the head chunk already taken
    size_t m_queued = 0;
    int64_t m_lastDueUs = 0;
    bool m_sourceEnded = false;
    bool m_finished = false;
};

}  // namespace bench
