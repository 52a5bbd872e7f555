// SHA-256 of bytes as they pass (OpenSSL EVP), so a file is checked while it
// is written, without reading it a second time.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct evp_md_ctx_st;

const size_t kSha256Size = 32;

class Sha256Stream {
  public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;

    // Starts again with no bytes. False when OpenSSL cannot start a digest
    // (no memory); Add and Finish then fail too.
    bool Reset();
    bool Add(const void* data, size_t size);
    // The digest of the bytes added since Reset. Reset before adding again.
    bool Finish(uint8_t out[kSha256Size]);
    // Trades state with `other` (a digest under way moves between owners).
    void Swap(Sha256Stream& other);
    // Bytes added since Reset.
    int64_t Bytes() const { return m_bytes; }

  private:
    evp_md_ctx_st* m_context = nullptr;
    bool m_ready = false;
    int64_t m_bytes = 0;
};
