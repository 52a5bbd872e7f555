#include "opn/opeerqos/nwCMimeMap.h"

#include <stdlib.h>
#include <string.h>

namespace {

char* CopyText(const char* text) {
    const size_t size = strlen(text) + 1;
    char* copy = static_cast<char*>(malloc(size));
    if (copy)
        memcpy(copy, text, size);
    return copy;
}

}  // namespace

const char* const nwCHttpMimeTypeMap::kDefaultType = "application/octet-stream";

nwCHttpMimeTypeMap::~nwCHttpMimeTypeMap() {
    Clear();
}

bool nwCHttpMimeTypeMap::Load() {
    return true;
}

void nwCHttpMimeTypeMap::Clear() {
    for (ovCPtrList::Node* node = m_extensions.HeadNode(); node; node = node->next)
        free(node->element);
    m_extensions.RemoveAll();
    for (ovCPtrList::Node* node = m_pairs.HeadNode(); node; node = node->next) {
        Pair* pair = static_cast<Pair*>(node->element);
        free(pair->extension);
        free(pair->mediaType);
        free(pair);
    }
    m_pairs.RemoveAll();
}

bool nwCHttpMimeTypeMap::Add(const char* extension, const char* mediaType) {
    if (!extension || !*extension || !mediaType || !*mediaType)
        return false;
    char* listed = CopyText(extension);
    Pair* pair = static_cast<Pair*>(malloc(sizeof(Pair)));
    if (pair) {
        pair->extension = CopyText(extension);
        pair->mediaType = CopyText(mediaType);
    }
    if (listed && pair && pair->extension && pair->mediaType && m_extensions.AddTail(listed)) {
        if (m_pairs.AddTail(pair))
            return true;
        m_extensions.Remove(listed);
    }
    free(listed);
    if (pair) {
        free(pair->extension);
        free(pair->mediaType);
        free(pair);
    }
    return false;
}

const char* nwCHttpMimeTypeMap::Lookup(const char* extension) const {
    if (!extension || !*extension)
        return kDefaultType;
    for (ovCPtrList::Node* node = m_pairs.HeadNode(); node; node = node->next) {
        const Pair* pair = static_cast<const Pair*>(node->element);
        if (strcmp(pair->extension, extension) == 0)
            return pair->mediaType;
    }
    return kDefaultType;
}
