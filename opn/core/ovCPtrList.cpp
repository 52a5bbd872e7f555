#include "opn/core/ovCPtrList.h"

#include <stdlib.h>

void ovCPtrList::Init() {
    m_count = 0;
    m_head = nullptr;
    m_tail = nullptr;
    m_cursor = nullptr;
}

bool ovCPtrList::AddTail(void* element) {
    if (m_count == INT32_MAX) {
        return false;
    }
    Node* node = static_cast<Node*>(malloc(sizeof(Node)));
    if (!node) {
        return false;
    }
    node->element = element;
    node->prev = m_tail;
    node->next = nullptr;
    if (m_tail) {
        m_tail->next = node;
    } else {
        m_head = node;
        m_cursor = node;
    }
    m_tail = node;
    ++m_count;
    return true;
}

void* ovCPtrList::GetAt(int32_t index) {
    if (index < 0 || index >= m_count) {
        return nullptr;
    }
    Node* node = m_head;
    for (int32_t i = 0; i < index && node; ++i) {
        node = node->next;
    }
    if (!node) {
        return nullptr;
    }
    m_cursor = node;
    return node->element;
}

void* ovCPtrList::GetHead() const {
    return m_head ? m_head->element : nullptr;
}

void ovCPtrList::Unlink(Node* node) {
    if (node->prev) {
        node->prev->next = node->next;
    } else {
        m_head = node->next;
    }
    if (node->next) {
        node->next->prev = node->prev;
    } else {
        m_tail = node->prev;
    }
    --m_count;
    free(node);
}

void* ovCPtrList::RemoveAt(int32_t index) {
    if (index < 0 || index >= m_count) {
        return nullptr;
    }
    Node* node = m_head;
    for (int32_t i = 0; i < index && node; ++i) {
        node = node->next;
    }
    if (!node) {
        return nullptr;
    }
    void* element = node->element;
    Unlink(node);
    m_cursor = m_head;
    return element;
}

void* ovCPtrList::Remove(void* element) {
    Node* node = nullptr;
    if (m_cursor && m_cursor->element == element) {
        node = m_cursor;
    } else {
        for (Node* walk = m_head; walk; walk = walk->next) {
            if (walk->element == element) {
                node = walk;
                break;
            }
        }
    }
    if (!node) {
        return nullptr;
    }
    const bool wasCursor = node == m_cursor;
    Unlink(node);
    if (wasCursor) {
        m_cursor = m_head;
    }
    return element;
}

void ovCPtrList::RemoveAll() {
    Node* node = m_head;
    while (node) {
        Node* next = node->next;
        free(node);
        node = next;
    }
    Init();
}
