#include "opn/platform/pfCodePage.h"

#include <windows.h>
#include <stdlib.h>

#include "opn/core/ovCString.h"

namespace {

// The Win32 calls count in int; longer texts are refused.
const uint32_t kMaxInput = 0x3FFFFFFF;

// UTF-16 units of `n` ANSI bytes into a new buffer (free it), or null. A byte
// that does not begin a valid character becomes one '?'.
wchar_t* AnsiToWide(const char* in, uint32_t n, int* wideLength) {
    const int length = static_cast<int>(n);
    // Each byte gives at most one unit: a lead byte and its trail byte share
    // one, and so does a replaced byte.
    wchar_t* wide = static_cast<wchar_t*>(malloc(sizeof(wchar_t) * n));
    if (!wide) {
        return nullptr;
    }
    int count = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, in, length, wide, length);
    if (count > 0) {
        *wideLength = count;
        return wide;
    }
    // Something in the text is invalid: go character by character so that
    // only the bad bytes are lost, the same way the POSIX backend does.
    count = 0;
    int i = 0;
    while (i < length) {
        const BYTE lead = static_cast<BYTE>(in[i]);
        wchar_t unit[2];
        if (i + 1 < length && IsDBCSLeadByteEx(CP_ACP, lead) &&
            MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, in + i, 2, unit, 2) == 1) {
            wide[count++] = unit[0];
            i += 2;
            continue;
        }
        if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, in + i, 1, unit, 2) == 1) {
            wide[count++] = unit[0];
        } else {
            wide[count++] = L'?';
        }
        i += 1;
    }
    *wideLength = count;
    return wide;
}

// ANSI bytes of one code point (one unit, or a surrogate pair) into `dst`;
// '?' when the code page lacks it. Returns the byte count.
int CodePointToAnsi(const wchar_t* units, int unitCount, char* dst, int room) {
    BOOL usedDefault = FALSE;
    const int written = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, units, unitCount, dst,
                                            room, "?", &usedDefault);
    if (written <= 0 || usedDefault) {
        dst[0] = '?';
        return 1;
    }
    return written;
}

// Answers the conversions that convert nothing: empty input, input over
// the bound, or an ANSI code page that is UTF-8 itself. False when `in`
// must be converted (`out` is then empty).
bool AnswerWithoutConverting(const char* in, uint32_t n, ovCString& out, bool* answer) {
    out.Clear();
    if (n == 0 || n > kMaxInput) {
        *answer = n == 0;
        return true;
    }
    if (GetACP() == CP_UTF8) {
        *answer = out.Assign(in, n);
        return true;
    }
    return false;
}

}  // namespace

uint32_t CodePageAnsi() {
    return GetACP();
}

bool CodePageIsLeadByte(unsigned char byte) {
    return IsDBCSLeadByteEx(CP_ACP, byte) != 0;
}

bool CodePageUtf8ToAnsi(const char* in, uint32_t n, ovCString& out) {
    bool answer = false;
    if (AnswerWithoutConverting(in, n, out, &answer))
        return answer;
    const int length = static_cast<int>(n);
    const int wideLength = MultiByteToWideChar(CP_UTF8, 0, in, length, nullptr, 0);
    if (wideLength <= 0) {
        return false;
    }
    wchar_t* wide = static_cast<wchar_t*>(malloc(sizeof(wchar_t) * wideLength));
    // A code point takes at least as many UTF-8 bytes as its ANSI form or '?'.
    char* ansi = static_cast<char*>(malloc(n));
    bool ok = false;
    if (wide && ansi &&
        MultiByteToWideChar(CP_UTF8, 0, in, length, wide, wideLength) == wideLength) {
        BOOL usedDefault = FALSE;
        int written = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, wideLength, ansi,
                                          length, "?", &usedDefault);
        if (written <= 0 || usedDefault) {
            // Some character is missing from the code page: one '?' for each
            // such code point, whether it is one unit or a surrogate pair.
            written = 0;
            int i = 0;
            while (i < wideLength && written < length) {
                int units = 1;
                if (i + 1 < wideLength && IS_HIGH_SURROGATE(wide[i]) &&
                    IS_LOW_SURROGATE(wide[i + 1])) {
                    units = 2;
                }
                written += CodePointToAnsi(wide + i, units, ansi + written, length - written);
                i += units;
            }
        }
        ok = out.Assign(ansi, static_cast<uint32_t>(written));
    }
    free(wide);
    free(ansi);
    return ok;
}

bool CodePageAnsiToUtf8(const char* in, uint32_t n, ovCString& out) {
    bool answer = false;
    if (AnswerWithoutConverting(in, n, out, &answer))
        return answer;
    int wideLength = 0;
    wchar_t* wide = AnsiToWide(in, n, &wideLength);
    if (!wide) {
        return false;
    }
    bool ok = false;
    const int utf8Length =
        WideCharToMultiByte(CP_UTF8, 0, wide, wideLength, nullptr, 0, nullptr, nullptr);
    char* utf8 = utf8Length > 0 ? static_cast<char*>(malloc(utf8Length)) : nullptr;
    if (utf8 && WideCharToMultiByte(CP_UTF8, 0, wide, wideLength, utf8, utf8Length, nullptr,
                                    nullptr) == utf8Length) {
        ok = out.Assign(utf8, static_cast<uint32_t>(utf8Length));
    }
    free(utf8);
    free(wide);
    return ok;
}
