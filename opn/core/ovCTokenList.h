// Splits a C string at a delimiter into owned token copies and reads them
// back in order.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"

class ovCTokenList {
  public:
    ovCTokenList() : m_index(0), m_readNode(nullptr) {}
    ~ovCTokenList() { Clear(); }
    ovCTokenList(const ovCTokenList&) = delete;
    ovCTokenList& operator=(const ovCTokenList&) = delete;

    // Drops the held tokens, then stores every maximal run of bytes without
    // `delimiter`, in order. Empty runs are never stored, so leading, trailing
    // and repeated delimiters give no tokens. A null text gives none; a zero
    // delimiter makes the whole text one token. False when memory ran out
    // (the tokens stored so far stay).
    bool Split(const char* text, char delimiter);

    // The token at the read index, which then moves on; null past the end.
    const char* Next();
    bool HasMore() const { return m_index < m_tokens.Count(); }
    int32_t Count() const { return m_tokens.Count(); }

    // Frees every token copy and resets the read index.
    void Clear();

  private:
    ovCPtrList m_tokens;
    int32_t m_index;
    // Node of the token at m_index, so reading all tokens is linear.
    ovCPtrList::Node* m_readNode;
};
