// The highest serial of a signed engine manifest (SignatureFile.h) this
// machine took, per product: kept in the engine folder as
// "config\serial-<product>", the serial's decimal digits. A manifest of a
// lower serial is an older publication, replayed, and is refused; the file
// stays when the engine program is deleted or unreadable.
#pragma once

#include <stdint.h>

// 0 when nothing was kept (or what is kept is no serial).
int64_t ReadSeenSerial(const char* engineFolder, const char* product);

// Keeps `serial` (written beside and renamed over the old one, so a failed
// write leaves the old one); false when it could not be kept.
bool StoreSeenSerial(const char* engineFolder, const char* product, int64_t serial);
