#include "sdk/support/StringList.h"

#include <stdlib.h>
#include <string.h>

namespace {

const int32_t kFirstCapacity = 16;
const int32_t kMaxCount = 0x3FFFFFFF;

}  // namespace

bool StringList::Add(const char* text) {
    if (!text)
        text = "";
    if (m_count == m_capacity) {
        if (m_capacity >= kMaxCount / 2)
            return false;
        const int32_t capacity = m_capacity ? m_capacity * 2 : kFirstCapacity;
        char** items = static_cast<char**>(realloc(m_items, sizeof(char*) * (size_t)capacity));
        if (!items)
            return false;
        m_items = items;
        m_capacity = capacity;
    }
    const size_t length = strlen(text);
    char* copy = static_cast<char*>(malloc(length + 1));
    if (!copy)
        return false;
    memcpy(copy, text, length + 1);
    m_items[m_count++] = copy;
    return true;
}

const char* StringList::At(int32_t index) const {
    if (index < 0 || index >= m_count)
        return nullptr;
    return m_items[index];
}

void StringList::Clear() {
    for (int32_t i = 0; i < m_count; ++i)
        free(m_items[i]);
    free(m_items);
    m_items = nullptr;
    m_count = 0;
    m_capacity = 0;
}
