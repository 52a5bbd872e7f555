// File extension to media type, for the part header of multipart uploads.
//
// The map starts empty and Load() adds nothing, so every lookup answers
// "application/octet-stream" unless entries were added. Not locked: it is
// used on the library thread only.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"

class nwCHttpMimeTypeMap {
  public:
    nwCHttpMimeTypeMap() = default;
    nwCHttpMimeTypeMap(const nwCHttpMimeTypeMap&) = delete;
    nwCHttpMimeTypeMap& operator=(const nwCHttpMimeTypeMap&) = delete;

    // Loads the built-in entries: there are none.
    virtual bool Load();
    // Frees every extension text and every pair.
    virtual void Clear();
    virtual ~nwCHttpMimeTypeMap();

    // Appends one pair (copies of both texts). False for a null or empty
    // extension or media type, or when memory ran out (nothing is kept then).
    bool Add(const char* extension, const char* mediaType);

    // The media type of the first pair whose extension equals `extension`
    // byte for byte (no case folding, no leading dot removed); the default
    // for a null or empty extension or no match. Never null.
    const char* Lookup(const char* extension) const;

    int32_t Count() const { return m_pairs.Count(); }

    static const char* const kDefaultType;  // "application/octet-stream"

  private:
    struct Pair {
        char* extension;
        char* mediaType;
    };

    ovCPtrList m_extensions;  // char*, one per pair, in the order added
    ovCPtrList m_pairs;       // Pair*
};
