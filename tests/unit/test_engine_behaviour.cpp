// The stand-in engine's behaviour text: every item, their combinations, and
// what is not understood.
#include <gtest/gtest.h>

#include <string>

#include "tools/engine/EngineBehaviour.h"

TEST(EngineBehaviour, ItemsAreReadAndTheRestIsNamed) {
    struct Case {
        const char* text;
        const char* summary;  // what was understood
        const char* error;    // what was not
    };
    auto summary = [](const EngineBehaviour& b) {
        std::string s;
        s += b.giveUp ? "G" : "-";
        s += b.fail ? "F(" + b.failText + ")" : "-";
        s += b.diskFull ? "D" : "-";
        s += b.dropAfterAccept ? "A" : "-";
        s += b.noAccept ? "N" : "-";
        s += b.exitAtOnce ? "X" : "-";
        s += " ms" + std::to_string(b.dropAfterMs) + " rate" + std::to_string(b.rate);
        return s;
    };
    const Case cases[] = {
        {"", "------ ms-1 rate0", ""},
        {"give-up", "G----- ms-1 rate0", ""},
        {" disk-full , drop-after-accept ", "--DA-- ms-1 rate0", ""},
        {"no-accept,exit", "----NX ms-1 rate0", ""},
        {"drop-after-ms=250,rate=4096", "------ ms250 rate4096", ""},
        {"give-up,fail=No room, sorry", "GF(No room, sorry)---- ms-1 rate0", ""},
        {"fail=", "-F()---- ms-1 rate0", ""},
        {"rate=0,drop-after-ms=x,jump", "------ ms-1 rate0", "rate=0, drop-after-ms=x, jump"},
        {"drop-after-ms=99999999999", "------ ms-1 rate0", "drop-after-ms=99999999999"},
        {"give-up\n", "G----- ms-1 rate0", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        const EngineBehaviour b = EngineBehaviour::Parse(c.text, &error);
        EXPECT_EQ(c.summary, summary(b));
        EXPECT_EQ(c.error, error);
    }
}
