#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "opn/core/ovCString.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwCHttpClientExLayer.h"
#include "opn/opeerqos/nwRedirect.h"

namespace {

const char kFailed[] = "<fails>";

struct Case {
    const char* base;
    const char* location;
    const char* expected;  // kFailed when the Location cannot be followed
};

std::string Resolve(const char* base, const char* location) {
    ovCString out("unchanged");
    if (!ResolveRedirect(base, location, &out)) {
        EXPECT_STREQ("unchanged", out.CStr()) << "output written although resolving failed";
        return kFailed;
    }
    return std::string(out.CStr(), out.Length());
}

void RunTable(const Case* cases, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(cases[i].expected, Resolve(cases[i].base, cases[i].location))
            << "base " << cases[i].base << " location " << cases[i].location;
    }
}

const char kBase[] = "http://a/b/c/d;p?q";

TEST(Redirect, ResolvesTheReferenceExamplesOfRfc3986) {
    // Section 5.4.1 and 5.4.2, with fragments dropped and the non-strict
    // reading of "http:g".
    const Case cases[] = {
        {kBase, "g:h", kFailed},  // another scheme
        {kBase, "g", "http://a/b/c/g"},
        {kBase, "./g", "http://a/b/c/g"},
        {kBase, "g/", "http://a/b/c/g/"},
        {kBase, "/g", "http://a/g"},
        {kBase, "//g", "http://g"},
        {kBase, "?y", "http://a/b/c/d;p?y"},
        {kBase, "g?y", "http://a/b/c/g?y"},
        {kBase, "#s", "http://a/b/c/d;p?q"},
        {kBase, "g#s", "http://a/b/c/g"},
        {kBase, "g?y#s", "http://a/b/c/g?y"},
        {kBase, ";x", "http://a/b/c/;x"},
        {kBase, "g;x", "http://a/b/c/g;x"},
        {kBase, "g;x?y#s", "http://a/b/c/g;x?y"},
        {kBase, ".", "http://a/b/c/"},
        {kBase, "./", "http://a/b/c/"},
        {kBase, "..", "http://a/b/"},
        {kBase, "../", "http://a/b/"},
        {kBase, "../g", "http://a/b/g"},
        {kBase, "../..", "http://a/"},
        {kBase, "../../", "http://a/"},
        {kBase, "../../g", "http://a/g"},
        {kBase, "../../../g", "http://a/g"},
        {kBase, "../../../../g", "http://a/g"},
        {kBase, "/./g", "http://a/g"},
        {kBase, "/../g", "http://a/g"},
        {kBase, "g.", "http://a/b/c/g."},
        {kBase, ".g", "http://a/b/c/.g"},
        {kBase, "g..", "http://a/b/c/g.."},
        {kBase, "..g", "http://a/b/c/..g"},
        {kBase, "./../g", "http://a/b/g"},
        {kBase, "./g/.", "http://a/b/c/g/"},
        {kBase, "g/./h", "http://a/b/c/g/h"},
        {kBase, "g/../h", "http://a/b/c/h"},
        {kBase, "g;x=1/./y", "http://a/b/c/g;x=1/y"},
        {kBase, "g;x=1/../y", "http://a/b/c/y"},
        {kBase, "g?y/./x", "http://a/b/c/g?y/./x"},
        {kBase, "g?y/../x", "http://a/b/c/g?y/../x"},
        {kBase, "g#s/./x", "http://a/b/c/g"},
        {kBase, "g#s/../x", "http://a/b/c/g"},
        {kBase, "http:g", "http://a/b/c/g"},
        {kBase, "http://x/y/../z", "http://x/z"},
    };
    RunTable(cases, sizeof cases / sizeof cases[0]);
}

TEST(Redirect, KeepsEscapesPortsAndSchemesAndDropsFragments) {
    const Case cases[] = {
        // Escapes stay exactly as the server wrote them.
        {"http://h/a/b", "/x%2Fy%26z%3Dw%2Bv%20u", "http://h/x%2Fy%26z%3Dw%2Bv%20u"},
        {"http://h/a/b", "c%2F..%2Fd", "http://h/a/c%2F..%2Fd"},
        {"http://h/a?q=%41", "?k=%25", "http://h/a?k=%25"},
        // Bytes above 127 (already in the code page) are copied.
        {"http://h/a/b", "\xC7\xD1.txt", "http://h/a/\xC7\xD1.txt"},
        // Ports, user parts and the scheme of the request carry over.
        {"http://h:8080/a/b", "/c", "http://h:8080/c"},
        {"https://h:8443/a/b", "//g:81/c", "https://g:81/c"},
        {"https://h/a", "http://g/x", "http://g/x"},
        {"http://h/a", "HTTPS://G/X", "https://G/X"},
        {"HTTP://H/a", "b", "http://H/b"},
        {"http://h", "b", "http://h/b"},
        {"http://h", "?x", "http://h?x"},
        // The request's own dot segments go too when only the query changes.
        {"http://h/a/./b/../c?q", "?y", "http://h/a/c?y"},
        {"http://h/a/./b/../c?q", "", kFailed},
        {"http://h/a#frag", "b#c", "http://h/b"},
        // A scheme-like start that is no scheme belongs to the path.
        {"http://h/a/", "1x:y", "http://h/a/1x:y"},
        // Not followed: no text, another scheme, no host.
        {"http://h/a", "", kFailed},
        {"http://h/a", "ftp://h/x", kFailed},
        {"http://h/a", "javascript:alert(1)", kFailed},
        {"http://h/a", "https:x", kFailed},
        {"http://h/a", "//", kFailed},
        {"http://h/a", "http://", kFailed},
        {"http://h/a", "http:///x", kFailed},
        // The base must be a web URL with a host.
        {"ftp://h/a", "/b", kFailed},
        {"/a/b", "c", kFailed},
        {"http:/a/b", "c", kFailed},
        {"", "http://h/x", kFailed},
    };
    RunTable(cases, sizeof cases / sizeof cases[0]);
}

TEST(Redirect, RefusesTargetsWithoutAHostAndPortARequestCanOpen) {
    const Case cases[] = {
        // A user part would be looked up as part of the host's name.
        {"http://h/a", "http://u:p@g/x", kFailed},
        {"http://h/a", "http://u@g/x", kFailed},
        {"http://h/a", "https://u@g:443/x", kFailed},
        {"http://h/a", "//u@g/x", kFailed},
        {"http://h/a", "http://g/x@y", "http://g/x@y"},
        {"http://h/a", "http://g/?u@v", "http://g/?u@v"},
        // The stack speaks IPv4: no bracketed literal.
        {"http://h/a", "http://[::1]/x", kFailed},
        {"http://h/a", "http://[::1]:80/x", kFailed},
        {"http://h/a", "//[fe80::1%25eth0]/x", kFailed},
        // Ports from 1 to 65535, decimal digits only.
        {"http://h/a", "http://g:0/x", kFailed},
        {"http://h/a", "http://g:65536/x", kFailed},
        {"http://h/a", "http://g:99999999999999999999/x", kFailed},
        {"http://h/a", "http://g:8a/x", kFailed},
        {"http://h/a", "http://g:-1/x", kFailed},
        {"http://h/a", "http://g:/x", kFailed},
        {"http://h/a", "http://g::80/x", kFailed},
        {"http://h/a", "http://:80/x", kFailed},
        {"http://h/a", "http://g:1/x", "http://g:1/x"},
        {"http://h/a", "http://g:65535/x", "http://g:65535/x"},
        {"http://h/a", "https://g:0443/x", "https://g:0443/x"},
        // A relative Location keeps the request's own host and port.
        {"http://h:8080/a", "u@v/x", "http://h:8080/u@v/x"},
    };
    RunTable(cases, sizeof cases / sizeof cases[0]);
}

TEST(Redirect, RefusesControlBytes) {
    const char* const locations[] = {
        "/a\r\nSet-Cookie: x", "/a\nb",  "/a\rb",  "/a\tb",
        "http://h/\x01",       "/a\x1F", "/a\x7F", "\x7F",
    };
    for (const char* location : locations)
        EXPECT_EQ(kFailed, Resolve("http://h/a", location)) << static_cast<const void*>(location);
    EXPECT_EQ(kFailed, Resolve("http://h/a\r\n", "/b"));
    EXPECT_EQ(kFailed, Resolve("http://h/\x7F", "/b"));
}

TEST(Redirect, RejectsNullArguments) {
    ovCString out;
    EXPECT_FALSE(ResolveRedirect(nullptr, "/a", &out));
    EXPECT_FALSE(ResolveRedirect("http://h/", nullptr, &out));
    EXPECT_FALSE(ResolveRedirect("http://h/", "/a", nullptr));
    // The output may already hold the base.
    out = "http://h/a/b";
    EXPECT_TRUE(ResolveRedirect(out.CStr(), "../c", &out));
    EXPECT_STREQ("http://h/c", out.CStr());
}

TEST(Redirect, FollowsTheFiveRedirectStatusesOnly) {
    for (int32_t status = 100; status < 600; ++status) {
        const bool expected =
            status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
        EXPECT_EQ(expected, IsRedirectStatus(status)) << status;
    }
    EXPECT_FALSE(IsRedirectStatus(0));
    EXPECT_FALSE(IsRedirectStatus(-302));
    EXPECT_EQ(10, kMaxRedirects);
}

// --- the redirect step ---------------------------------------------------------

const char kFollowed[] = "<not followed>";

struct StepCase {
    int32_t status;
    bool hasLocation;
    std::string location;  // as the server sent it (UTF-8)
    int32_t hops;
    RedirectVerdict verdict;
    std::string target;  // for kRedirectFollow; kFollowed otherwise
};

TEST(RedirectStep, DecidesEveryAnswerAgainstTheRequestUrl) {
    const char base[] = "http://h/a/b";
    const std::string pad = "http://h/" + std::string(kMaxRedirectUrlLength - 9, 'p');
    const int32_t last = kMaxRedirects - 1;
    const std::vector<StepCase> cases = {
        // Not redirects: the answer stays the caller's.
        {200, true, "/x", 0, kRedirectNone, kFollowed},
        {304, true, "/x", 0, kRedirectNone, kFollowed},
        {404, false, "", 0, kRedirectNone, kFollowed},
        // Followed: absolute, relative, network-path, another web scheme.
        {301, true, "http://g/x", 0, kRedirectFollow, "http://g/x"},
        {302, true, "c", 1, kRedirectFollow, "http://h/a/c"},
        {303, true, "../d?q=%20", 2, kRedirectFollow, "http://h/d?q=%20"},
        {307, true, "//g:81/e#frag", 3, kRedirectFollow, "http://g:81/e"},
        {308, true, "HTTPS://G/F", last, kRedirectFollow, "https://G/F"},
        // UTF-8 leaves in the system code page.
        {302, true, "/\xED\x95\x9C.txt", 0, kRedirectFollow, "http://h/\xC7\xD1.txt"},
        // No Location, then the hop bound, then where it points.
        {302, false, "", 0, kRedirectNoLocation, kFollowed},
        {302, true, "", 0, kRedirectNoLocation, kFollowed},
        {302, false, "", kMaxRedirects, kRedirectNoLocation, kFollowed},
        {302, true, "/x", kMaxRedirects, kRedirectTooManyHops, kFollowed},
        {302, true, "ftp://h/x", kMaxRedirects + 5, kRedirectTooManyHops, kFollowed},
        {302, true, "ftp://h/x", 0, kRedirectBadLocation, kFollowed},
        {301, true, "javascript:alert(1)", 0, kRedirectBadLocation, kFollowed},
        {302, true, "//", 0, kRedirectBadLocation, kFollowed},
        // Control bytes would break the next request line.
        {302, true, "/a\r\nSet-Cookie: x", 0, kRedirectBadLocation, kFollowed},
        {302, true, "/a\x7F", 0, kRedirectBadLocation, kFollowed},
        {302, true, std::string("/a\0b", 4), 0, kRedirectBadLocation, kFollowed},
        // The longest URL followed, and one byte more as Location or target.
        {302, true, pad, 0, kRedirectFollow, pad},
        {302, true, pad + "q", 0, kRedirectBadLocation, kFollowed},
        {302, true, "/" + std::string(kMaxRedirectUrlLength - 1, 'r'), 0, kRedirectBadLocation,
         kFollowed},
    };
    for (const StepCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.location.substr(0, 40) + " hops " +
                     std::to_string(c.hops));
        ovCString location;
        ASSERT_TRUE(location.Assign(c.location.data(), (uint32_t)c.location.size()));
        ovCString target("unchanged");
        EXPECT_EQ(c.verdict, JudgeRedirect(c.status, c.hasLocation ? &location : nullptr, base,
                                           c.hops, &target));
        if (c.verdict == kRedirectFollow)
            EXPECT_EQ(c.target, std::string(target.CStr(), target.Length()));
        else
            EXPECT_STREQ("unchanged", target.CStr());
    }
    // The target may be the request URL's own string.
    ovCString url("http://h/a/b");
    const ovCString location("../c");
    EXPECT_EQ(kRedirectFollow, JudgeRedirect(302, &location, url.CStr(), 0, &url));
    EXPECT_STREQ("http://h/c", url.CStr());
}

TEST(RedirectStep, ReadsTheLocationOfAnAnswerHoweverItIsSpelt) {
    struct HeadCase {
        const char* head;
        RedirectVerdict verdict;
        const char* target;
    } cases[] = {
        {"HTTP/1.1 302 Found\r\nLocation: /plain\r\n\r\n", kRedirectFollow, "http://h/plain"},
        {"HTTP/1.1 301 Moved\r\nLOCATION: /upper\r\n\r\n", kRedirectFollow, "http://h/upper"},
        {"HTTP/1.0 303 See Other\r\nlocation:/tight\r\n\r\n", kRedirectFollow, "http://h/tight"},
        {"HTTP/1.1 307 Moved\r\nLocation: \t/blanks \t\r\n\r\n", kRedirectFollow,
         "http://h/blanks"},
        {"HTTP/1.1 308 Moved\r\nlOcAtIoN: rel\r\n\r\n", kRedirectFollow, "http://h/d/rel"},
        // Only the field named Location counts, and the first of two.
        {"HTTP/1.1 302 Found\r\nLocation-Hint: /hint\r\nLocation: /real\r\n"
         "Location: /second\r\n\r\n",
         kRedirectFollow, "http://h/real"},
        {"HTTP/1.1 302 Found\r\nX-Location: /x\r\n\r\n", kRedirectNoLocation, nullptr},
        {"HTTP/1.1 302 Found\r\nLocation : /spaced\r\n\r\n", kRedirectNoLocation, nullptr},
        {"HTTP/1.1 302 Found\r\nLocation:\r\n\r\n", kRedirectNoLocation, nullptr},
        // Escapes are sent as they came.
        {"HTTP/1.1 302 Found\r\nLocation: /a%20b%2F\r\n\r\n", kRedirectFollow, "http://h/a%20b%2F"},
        {"HTTP/1.1 302 Found\r\nLocation: gopher://h/\r\n\r\n", kRedirectBadLocation, nullptr},
        {"HTTP/1.1 200 OK\r\nLocation: /ignored\r\n\r\n", kRedirectNone, nullptr},
    };
    for (const HeadCase& c : cases) {
        SCOPED_TRACE(c.head);
        nwCHttpClientExLayer* layer = new nwCHttpClientExLayer();
        ovSmartPtr holder(layer->PublicUnknown());
        layer->RegisterHandlers();
        const int32_t length = (int32_t)strlen(c.head);
        ASSERT_EQ(length, layer->OnData(reinterpret_cast<const uint8_t*>(c.head), length));
        ASSERT_TRUE(layer->HeaderReceived());
        ovCString target("unchanged");
        EXPECT_EQ(c.verdict, JudgeRedirect(layer->PublicFace(), "http://h/d/e", 0, &target));
        EXPECT_STREQ(c.target ? c.target : "unchanged", target.CStr());
    }
    ovCString target;
    EXPECT_EQ(kRedirectNone, JudgeRedirect(nullptr, "http://h/", 0, &target));
    // A zero inside the value reaches the step and is refused, not cut off.
    const std::string zero("HTTP/1.1 302 Found\r\nLocation: /ok\0.evil\r\n\r\n", 43);
    nwCHttpClientExLayer* layer = new nwCHttpClientExLayer();
    ovSmartPtr holder(layer->PublicUnknown());
    layer->RegisterHandlers();
    ASSERT_EQ((int32_t)zero.size(),
              layer->OnData(reinterpret_cast<const uint8_t*>(zero.data()), (int32_t)zero.size()));
    ASSERT_TRUE(layer->HeaderReceived());
    EXPECT_EQ(kRedirectBadLocation, JudgeRedirect(layer->PublicFace(), "http://h/d/e", 0, &target));
}

}  // namespace
