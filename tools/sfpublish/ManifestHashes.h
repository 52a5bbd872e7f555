// Adds the archives' SHA-256 to an engine-update manifest: each entry the
// library reads an archive URL from (the `all` element inside the root's
// first `all`, every element inside its first `file`) gets a `sha256`
// attribute with the lower-case hex digest of the archive its `url` names
// (matched by the URL's last part and the archive's file name). An existing
// `sha256` value is replaced. Everything else in the text stays byte for
// byte as it was.
//
// Refused: a manifest the library's reader does not read cleanly, an entry
// without `url` or whose archive was not given, an archive no entry names,
// and markup this editor does not follow (it then never guesses). The
// result is read back with the library's reader and must carry exactly the
// expected digests.
#pragma once

#include <map>
#include <string>

namespace sfpublish {

// Archive file name -> its SHA-256 hex digits.
typedef std::map<std::string, std::string> ArchiveDigests;

bool AddManifestHashes(const std::string& manifest, const ArchiveDigests& digests,
                       std::string* result, std::string* error);

}  // namespace sfpublish
