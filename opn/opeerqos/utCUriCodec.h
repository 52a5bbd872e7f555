// Percent encoding of request targets and header values, and decoding of
// escaped text. Received header values are not decoded: a Location keeps its
// escapes, which EncodeKeepingEscapes then sends as they are.
//
// Encode keeps ASCII letters, digits and * + - . @ _ and writes every other
// byte (slash, space, bytes above 127, '%' itself) as '%' plus two upper-case
// hexadecimal digits. Decode turns '%' plus two hexadecimal digits (either
// case) into one byte and copies everything else, so a '%' without two hex
// digits after it, or among the last two bytes, stays as it is and '+' stays
// '+'. Decoding never reads past the input's terminating zero.
//
// EncodeKeepingEscapes is Encode for text that already holds escapes.
//
// Both work on C strings: the input ends at its first zero, and a decoded zero
// byte (%00) ends the decoded text. Both answer OV_S_UTILITY, or OV_E_UTILITY
// for a null or empty input (nothing is written then) and for an input whose
// result would not fit a 32-bit length.
//
// Threads: functions without state: any thread, no lock.
#pragma once

#include <stdint.h>

#include "opn/core/ovResult.h"

class ovCString;

class utCUriCodec {
  public:
    utCUriCodec() = default;
    utCUriCodec(const utCUriCodec&) = delete;
    utCUriCodec& operator=(const utCUriCodec&) = delete;

    // `*length` (when `length` is not null) receives the length of the decoded
    // text. When `out` is not null the text and a terminating zero are written
    // there; strlen(in) + 1 bytes always suffice.
    virtual ResultCode Decode(const char* in, char* out, uint32_t* length);
    // `*length` (when not null) receives the encoded length. When `out` is not
    // null the text and a terminating zero are written there: call once with
    // a null `out` to learn the length, then with *length + 1 bytes.
    virtual ResultCode Encode(const char* in, char* out, uint32_t* length);
    virtual ~utCUriCodec();

    // Like Encode, for text that may already carry escapes (a URL, a
    // Location): '%' followed by two hexadecimal digits is copied as it is,
    // so "%2F" stays one byte of a segment and "%20" never becomes "%2520".
    // Every other byte is treated as Encode treats it.
    ResultCode EncodeKeepingEscapes(const char* in, char* out, uint32_t* length);

    // Whether `text` holds a byte below 0x20 or DEL (0x7F), other than
    // `allowed` (0: none allowed). False for a null text.
    static bool HasControlBytes(const char* text, char allowed = 0);

    // Replace `text` by its encoded or decoded form. `text` stays unchanged
    // when the codec fails (empty text) or memory runs out; the answer tells
    // which (OV_E_UTILITY for both).
    static ResultCode PercentEncodeInPlace(ovCString& text);
    static ResultCode PercentDecodeInPlace(ovCString& text);

    // The longest encoded text Encode produces (3 bytes per input byte must
    // fit, with the terminator, in 32 bits).
    static const uint32_t kMaxEncodedLength = 0xFFFFFFF0u;
};
