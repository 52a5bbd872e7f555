// The mirror URLs of one download entry: its URL list split at every '|',
// empty pieces left out, in the order given.
//
// Threads: a value of its owner's: any thread, no lock of its own.
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"

class MirrorList {
  public:
    MirrorList() {}
    ~MirrorList() { Clear(); }
    MirrorList(const MirrorList&) = delete;
    MirrorList& operator=(const MirrorList&) = delete;

    // Replaces the list; null or empty gives an empty list. False (and an
    // empty list) when memory runs out.
    bool Load(const char* urlList);
    void Clear();

    int32_t Count() const { return m_count; }
    // Null when `index` is out of range.
    const char* At(int32_t index) const;

  private:
    ovCString* m_urls = nullptr;
    int32_t m_count = 0;
};
