// What the stand-in engine is told to do besides its normal work, read from
// a text of comma-separated items (the environment variable
// SF_ENGINE_BEHAVIOUR or the control file; ldDownload.cpp lists them).
#pragma once

#include <stdint.h>

#include <string>

struct EngineBehaviour {
    bool giveUp = false;  // "give-up"
    bool fail = false;    // "fail=<text>" (the rest of the text)
    std::string failText;
    bool diskFull = false;         // "disk-full"
    int32_t dropAfterMs = -1;      // "drop-after-ms=<n>"
    bool dropAfterAccept = false;  // "drop-after-accept"
    bool noAccept = false;         // "no-accept"
    bool exitAtOnce = false;       // "exit"
    uint32_t rate = 0;             // "rate=<bytes per second>"

    // Unknown items and bad numbers are reported in `error` (the items
    // before them still count); an empty text is the normal work.
    static EngineBehaviour Parse(const std::string& text, std::string* error);
};
