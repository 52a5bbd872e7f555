// Code-page conversion of the platform, between UTF-8 and the system ANSI
// code page.
//
// The system ANSI code page is the Windows one (CP_ACP, 949 on the Korean
// systems the launcher is made for). POSIX has no such notion; its backend
// uses CP949 (Unified Hangul Code, a superset of EUC-KR), the launcher's
// market code page, through iconv.
//
// Both functions convert exactly `n` bytes (zeros included) into `out`, which
// must not alias `in`, and answer false only when memory ran out (`out` is
// then empty). Bad input never stops them:
// - CodePageUtf8ToAnsi expects well-formed UTF-8 (ovCString's Utf8ToAnsi
//   cleans it first); a character the code page lacks becomes one '?', never
//   a best-fit look-alike;
// - CodePageAnsiToUtf8 turns each byte that does not begin a valid character
//   into one '?' and goes on with the next byte.
// Where the code page leaves room for vendor choices (user-defined areas,
// single bytes 0x80 and 0xFF) the two backends may answer differently.
#pragma once

#include <stdint.h>

#include "opn/core/ovResult.h"

class ovCString;

// Number of the system ANSI code page (949 for CP949).
uint32_t CodePageAnsi();

// True when `byte` begins a two-byte character of the system ANSI code page,
// so the byte after it belongs to the same character (in some code pages that
// trail byte may look like '\' or '/').
bool CodePageIsLeadByte(unsigned char byte);

bool CodePageUtf8ToAnsi(const char* in, uint32_t n, ovCString& out);
bool CodePageAnsiToUtf8(const char* in, uint32_t n, ovCString& out);

// The same at the level of strings, at the HTTP edges; each returns
// OV_S_PLATFORM. All Length() bytes are converted, zeros included.
//
// Bad input never stops a conversion: in Utf8ToAnsi each byte that does not
// begin a well-formed UTF-8 sequence becomes one '?', and so does each
// character the ANSI code page lacks (no best-fit look-alikes); in AnsiToUtf8
// each byte that does not begin a valid ANSI character becomes one '?'. When
// memory runs out, `out` is left empty. `out` may be `in`.
ResultCode Utf8ToAnsi(const ovCString& in, ovCString& out);
ResultCode AnsiToUtf8(const ovCString& in, ovCString& out);
