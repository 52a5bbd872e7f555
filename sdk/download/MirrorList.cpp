#include "sdk/download/MirrorList.h"

#include <string.h>

#include <new>

namespace {

const char kSeparator = '|';

}  // namespace

bool MirrorList::Load(const char* urlList) {
    Clear();
    if (!urlList || !urlList[0])
        return true;
    int32_t pieces = 1;
    for (const char* p = urlList; *p; ++p)
        pieces += *p == kSeparator;
    m_urls = new (std::nothrow) ovCString[pieces];
    if (!m_urls)
        return false;
    const char* start = urlList;
    for (;;) {
        const char* end = strchr(start, kSeparator);
        const size_t n = end ? (size_t)(end - start) : strlen(start);
        if (n > 0) {
            if (!m_urls[m_count].Assign(start, (uint32_t)n)) {
                Clear();
                return false;
            }
            ++m_count;
        }
        if (!end)
            break;
        start = end + 1;
    }
    return true;
}

void MirrorList::Clear() {
    delete[] m_urls;
    m_urls = nullptr;
    m_count = 0;
}

const char* MirrorList::At(int32_t index) const {
    return index >= 0 && index < m_count ? m_urls[index].CStr() : nullptr;
}
