// Which engine archive the update downloads, from the manifest and the
// version check (EngineVersion.h): the whole package when the update count
// equals the number of files the manifest lists, else the executable's own
// archive when it needs an update, else nothing.
//
// Threads: functions without shared state: any thread (the update runs them on
// the library thread).
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"

class CXMLParserOrvane;
struct EngineVersionCheck;

// One archive to fetch and unpack.
struct EngineUpdateItem {
    ovCString url;
    ovCString hashUrl;  // empty: the archive is not checked
    ovCString name;     // the engine executable's file name
    ovCString folder;   // ends in '\'
    ovCString sha256;   // the element's `sha256` as written; empty when absent
};

// True with `*selected` telling whether `item` was filled; false when the
// archive to fetch has no URL in the manifest.
bool SelectUpdates(const CXMLParserOrvane& xml, const EngineVersionCheck& check,
                   EngineUpdateItem* item, bool* selected);

// True when every archive the manifest names (the `all` entry and each entry
// under `file`) carries a `sha256` of 64 hex digits: a signed manifest
// vouches for every archive it lists, not only the one picked this time.
bool EveryArchiveHasSha256(const CXMLParserOrvane& xml);
