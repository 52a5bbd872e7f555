#include <gtest/gtest.h>

#include <string>

#include "opn/core/ovCString.h"
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

}  // namespace
