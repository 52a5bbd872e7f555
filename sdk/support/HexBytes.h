// Bytes to hexadecimal text and back, for digests and keys written as hex
// digits.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Exactly 2 * size hex digits (either letter case) to `size` bytes; false
// for any other length or a byte that is no hex digit (`out` may then hold
// part of the value).
bool HexToBytes(const char* hex, size_t length, uint8_t* out, size_t size);

// `size` bytes as 2 * size lower-case hex digits and a closing NUL in `out`,
// which has room for 2 * size + 1 characters.
void BytesToHex(const void* bytes, size_t size, char* out);
