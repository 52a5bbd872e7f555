// The publisher's signature file, beside a signed file under its name with
// ".sig" appended. Besides the file's bytes it signs the product the file is
// for and a serial that rises with every publication, so that a file of
// another product, or an older publication of the same one, is told apart
// from the current one. Four text lines, each ended by LF:
//
//   sfsig 1
//   product <name>
//   serial <decimal>
//   ed25519 <128 hex digits>
//
// The Ed25519 signature (RFC 8032, pure) is over the first three lines (the
// signed header, with their LFs) followed by the file's exact bytes. Nothing
// else is taken: other lines, other spellings, CR, white space or bytes
// after the last LF make the file no signature file. The signed file itself
// keeps its own format; readers that do not check signatures never see any
// of this.
#pragma once

#include <stddef.h>
#include <stdint.h>

const size_t kSignatureFileMax = 512;
// A product name: 1 to 64 letters, digits, '.', '_' or '-', beginning and
// ending in a letter or digit.
const size_t kProductNameMax = 64;
// A serial: 1 to 18 decimal digits.
const size_t kSerialDigitsMax = 18;
// The longest signed header.
const size_t kSignedHeaderMax = 8 + 8 + kProductNameMax + 1 + 7 + kSerialDigitsMax + 1;

struct SignatureFile {
    char product[kProductNameMax + 1] = {0};
    int64_t serial = 0;
    uint8_t signature[64] = {0};
    size_t headerLength = 0;  // the signed header: the file's first bytes
};

bool ProductNameIsValid(const char* name, size_t length);

// Reads a signature file of `size` bytes; false for anything that is not
// exactly the four lines above.
bool ReadSignatureFile(const void* data, size_t size, SignatureFile* out);

// Writes the signed header for `product` and `serial` (0 to 10^18 - 1) into
// `out` (`room` bytes, kSignedHeaderMax is enough), without terminator;
// returns its length, 0 when the product or serial cannot be written.
size_t WriteSignedHeader(const char* product, int64_t serial, char* out, size_t room);
