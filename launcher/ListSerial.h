// The highest serial of a signed file list (SignatureFile.h) this player's
// launcher took, per game: under the launcher's own key,
// HKEY_CURRENT_USER\Software\Orvane Inc.\<game>, the REG_QWORD value
// "FileListSerial". A list of a lower serial is an older publication,
// replayed, and is refused.
#pragma once

#include <stdint.h>

#include <string>

extern const char kListSerialValue[];

// The key path below HKEY_CURRENT_USER for `game`.
std::string ListSerialKey(const std::string& game);

// 0 when none is kept (or it is no REG_QWORD, or negative).
int64_t SeenListSerial(const std::string& game);

// Keeps `serial` when it is above the one kept; false when it could not be
// written.
bool StoreListSerial(const std::string& game, int64_t serial);
