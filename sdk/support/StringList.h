// An ordered list of owned text copies, read by index.
//
// Memory comes from malloc and nothing throws: Add answers false when a copy
// or room for it cannot be had, and the list stays as it was.
#pragma once

#include <stdint.h>

class StringList {
  public:
    StringList() = default;
    ~StringList() { Clear(); }
    StringList(const StringList&) = delete;
    StringList& operator=(const StringList&) = delete;

    // Appends a copy of `text` (null counts as empty).
    bool Add(const char* text);
    int32_t Count() const { return m_count; }
    // The text at `index`, or null out of range.
    const char* At(int32_t index) const;
    void Clear();

  private:
    char** m_items = nullptr;
    int32_t m_count = 0;
    int32_t m_capacity = 0;
};
