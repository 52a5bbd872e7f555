#include "opn/core/ovCTokenList.h"

#include <stdlib.h>
#include <string.h>

bool ovCTokenList::Split(const char* text, char delimiter) {
    Clear();
    if (!text) {
        return true;
    }
    const char* run = text;
    // One pass over the text: each byte is looked at once.
    for (;;) {
        while (*run != '\0' && *run == delimiter) {
            ++run;
        }
        if (*run == '\0') {
            return true;
        }
        const char* end = run;
        while (*end != '\0' && *end != delimiter) {
            ++end;
        }
        const size_t length = static_cast<size_t>(end - run);
        char* token = static_cast<char*>(malloc(length + 1));
        if (!token) {
            return false;
        }
        memcpy(token, run, length);
        token[length] = '\0';
        if (!m_tokens.AddTail(token)) {
            free(token);
            return false;
        }
        run = end;
    }
}

const char* ovCTokenList::Next() {
    if (!HasMore()) {
        return nullptr;
    }
    if (m_index == 0 || !m_readNode) {
        m_readNode = m_tokens.HeadNode();
        for (int32_t i = 0; i < m_index && m_readNode; ++i)
            m_readNode = m_readNode->next;
    }
    if (!m_readNode) {
        return nullptr;
    }
    const char* token = static_cast<const char*>(m_readNode->element);
    m_readNode = m_readNode->next;
    ++m_index;
    return token;
}

void ovCTokenList::Clear() {
    for (ovCPtrList::Node* node = m_tokens.HeadNode(); node; node = node->next) {
        free(node->element);
    }
    m_tokens.RemoveAll();
    m_index = 0;
    m_readNode = nullptr;
}
