#include "sdk/support/Sha256Stream.h"

#include <openssl/evp.h>

Sha256Stream::Sha256Stream() : m_context(EVP_MD_CTX_new()) {
    Reset();
}

Sha256Stream::~Sha256Stream() {
    EVP_MD_CTX_free(m_context);
}

bool Sha256Stream::Reset() {
    m_bytes = 0;
    m_ready = m_context && EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr) == 1;
    return m_ready;
}

bool Sha256Stream::Add(const void* data, size_t size) {
    if (!m_ready)
        return false;
    if (size > 0 && EVP_DigestUpdate(m_context, data, size) != 1) {
        m_ready = false;
        return false;
    }
    m_bytes += (int64_t)size;
    return true;
}

bool Sha256Stream::Finish(uint8_t out[kSha256Size]) {
    unsigned int length = 0;
    const bool done =
        m_ready && EVP_DigestFinal_ex(m_context, out, &length) == 1 && length == kSha256Size;
    m_ready = false;
    return done;
}

void Sha256Stream::Swap(Sha256Stream& other) {
    evp_md_ctx_st* context = m_context;
    m_context = other.m_context;
    other.m_context = context;
    const bool ready = m_ready;
    m_ready = other.m_ready;
    other.m_ready = ready;
    const int64_t bytes = m_bytes;
    m_bytes = other.m_bytes;
    other.m_bytes = bytes;
}
