#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "opn/core/ovCString.h"
#include "opn/opeerqos/nwCHttpRequest.h"

namespace {

typedef std::unique_ptr<nwCHttpRequestHeaderBuilder> Builder;

Builder MakeGet() {
    return Builder(nwCHttpRequestHeaderBuilder::Create(1));
}

Builder MakePost() {
    return Builder(nwCHttpRequestHeaderBuilder::Create(2));
}

std::string BuildText(nwCHttpRequestHeaderBuilder& builder) {
    ovCString out("stale");
    EXPECT_TRUE(builder.Build(out));
    return std::string(out.CStr(), out.Length());
}

std::string ClosingText(nwCHttpRequestHeaderBuilder& builder) {
    ovCString out("stale");
    EXPECT_TRUE(builder.BuildClosing(out));
    return std::string(out.CStr(), out.Length());
}

// The request line of a built request.
std::string RequestLine(nwCHttpRequestHeaderBuilder& builder) {
    const std::string text = BuildText(builder);
    return text.substr(0, text.find("\r\n"));
}

// The request target of a GET whose pseudo-header is `target`.
std::string TargetOf(const char* target) {
    Builder get = MakeGet();
    EXPECT_TRUE(get->SetHeader("GET", target));
    const std::string line = RequestLine(*get);
    const std::string prefix = "GET ";
    const std::string suffix = " HTTP/1.1";
    EXPECT_EQ(0u, line.find(prefix));
    EXPECT_EQ(line.size() - suffix.size(), line.rfind(suffix));
    return line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
}

const char kDefaults[] =
    "Accept: */*\r\n"
    "Referer: http://www.orvane.com/\r\n"
    "Accept-Language: ko\r\n"
    "User-Agent: OPeerClient\r\n";

std::string Params(const nwCHttpRequestHeaderBuilder& builder) {
    std::string all;
    for (int32_t i = 0; i < builder.QueryParamCount(); ++i) {
        const char* name = nullptr;
        const char* value = nullptr;
        EXPECT_TRUE(builder.QueryParamAt(i, &name, &value));
        all += std::string(i ? "&" : "") + name + "=" + value;
    }
    return all;
}

}  // namespace

// --- Creation ---------------------------------------------------------------------------

TEST(HttpBuilderCreate, ByTypeNumber) {
    Builder get = MakeGet();
    Builder post = MakePost();
    ASSERT_NE(nullptr, get);
    ASSERT_NE(nullptr, post);
    EXPECT_NE(nullptr, dynamic_cast<nwCHttpGETHeaderBuilder*>(get.get()));
    EXPECT_NE(nullptr, dynamic_cast<nwCHttpPOSTHeaderBuilder*>(post.get()));
    for (int32_t type : {0, 3, -1, 0x7FFFFFFF})
        EXPECT_EQ(nullptr, nwCHttpRequestHeaderBuilder::Create(type)) << type;
}

// --- GET request text -------------------------------------------------------------------

TEST(HttpGetBuilder, TargetWithQueryAndNoCustomHeaders) {
    Builder get = MakeGet();
    ASSERT_TRUE(get->SetHeader("GET", "/files/my file.zip?v=1&x"));
    EXPECT_EQ(std::string("GET /files/my%20file.zip?v=1 HTTP/1.1\r\n") + kDefaults +
                  "Connection: Keep-Alive\r\n"
                  "\r\n",
              BuildText(*get));
    EXPECT_EQ(1, get->QueryParamCount());
    EXPECT_STREQ("/files/my file.zip", get->HeaderValue("GET"));
}

TEST(HttpGetBuilder, HostInItsPlaceAndCustomHeadersEncodedAfterConnection) {
    Builder get = MakeGet();
    ASSERT_TRUE(get->SetHeader("X-Tag", "a b"));
    ASSERT_TRUE(get->SetHeader("Host", "example-host"));
    ASSERT_TRUE(get->SetHeader("GET", "/a"));
    EXPECT_EQ(std::string("GET /a HTTP/1.1\r\n") + kDefaults +
                  "Host: example-host\r\n"
                  "Connection: Keep-Alive\r\n"
                  "X-Tag: a%20b\r\n"
                  "\r\n",
              BuildText(*get));
}

TEST(HttpGetBuilder, FixedHeadersKeepTheirOrderAndAreSentAsGiven) {
    Builder get = MakeGet();
    // Set in reverse order and other spellings; the values would change if
    // they were encoded.
    ASSERT_TRUE(get->SetHeader("connection", "close"));
    ASSERT_TRUE(get->SetHeader("HOST", "h:8080"));
    ASSERT_TRUE(get->SetHeader("Range", "bytes=100-"));
    ASSERT_TRUE(get->SetHeader("user-agent", "Agent/2 (test)"));
    ASSERT_TRUE(get->SetHeader("Accept-Language", "ko, en"));
    ASSERT_TRUE(get->SetHeader("Referer", "http://r/x?y=1"));
    ASSERT_TRUE(get->SetHeader("Accept", "text/plain"));
    ASSERT_TRUE(get->SetHeader("GET", "/f"));
    EXPECT_EQ(
        "GET /f HTTP/1.1\r\n"
        "Accept: text/plain\r\n"
        "Referer: http://r/x?y=1\r\n"
        "Accept-Language: ko, en\r\n"
        "User-Agent: Agent/2 (test)\r\n"
        "Range: bytes=100-\r\n"
        "Host: h:8080\r\n"
        "Connection: close\r\n"
        "\r\n",
        BuildText(*get));
}

TEST(HttpGetBuilder, RemainingHeadersInTheOrderTheyWereSet) {
    Builder get = MakeGet();
    ASSERT_TRUE(get->SetHeader("X-B", "2/3"));
    ASSERT_TRUE(get->SetHeader("X-A", ""));
    ASSERT_TRUE(get->SetHeader("X-C", "\xEA"));
    ASSERT_TRUE(get->SetHeader("GET", "/"));
    const std::string text = BuildText(*get);
    const std::string tail = "Connection: Keep-Alive\r\nX-B: 2%2F3\r\nX-A: \r\nX-C: %EA\r\n\r\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
}

TEST(HttpGetBuilder, CookieIsNotEncodedButOnlyUnderThatExactName) {
    Builder get = MakeGet();
    ASSERT_TRUE(get->SetHeader("Cookie", "sid=a b; lang=ko/kr"));
    EXPECT_NE(std::string::npos, BuildText(*get).find("\r\nCookie: sid=a b; lang=ko/kr\r\n"));

    Builder other = MakeGet();
    ASSERT_TRUE(other->SetHeader("cookie", "sid=a b"));
    EXPECT_NE(std::string::npos, BuildText(*other).find("\r\ncookie: sid%3Da%20b\r\n"));
}

TEST(HttpGetBuilder, AnIfRangeValidatorIsSentAsItIsUnlessItCouldBreakTheHead) {
    struct Case {
        const char* value;
        const char* line;
    } cases[] = {
        {"\"5f3a-1000\"", "\r\nIf-Range: \"5f3a-1000\"\r\n"},
        {"Tue, 01 Dec 2026 10:00:00 GMT", "\r\nIf-Range: Tue, 01 Dec 2026 10:00:00 GMT\r\n"},
        // A line end, or bytes above ASCII, never go out raw.
        {"\"a\"\r\nX-Evil: 1", "\r\nIf-Range: %22a%22%0D%0AX-Evil%3A%201\r\n"},
        {"\"\xEA\"", "\r\nIf-Range: %22%EA%22\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Builder get = MakeGet();
        ASSERT_TRUE(get->SetHeader("If-Range", c.value));
        const std::string text = BuildText(*get);
        EXPECT_NE(std::string::npos, text.find(c.line)) << text;
        EXPECT_EQ(std::string::npos, text.find("\r\nX-Evil"));
    }
}

TEST(HttpGetBuilder, EscapesAlreadyInTheTargetAreSentAsTheyAre) {
    struct Case {
        const char* target;
        const char* line;
    } cases[] = {
        {"/s?q=a%20b", "GET /s?q=a%20b HTTP/1.1"},
        // An escaped slash stays inside its segment: another resource than /a/b.
        {"/a%2Fb", "GET /a%2Fb HTTP/1.1"},
        {"/d/x%26y%3Dz%2Bw%20v.bin", "GET /d/x%26y%3Dz%2Bw%20v.bin HTTP/1.1"},
        {"/q?k=a%26b%3Dc&m=%2B", "GET /q?k=a%26b%3Dc&m=%2B HTTP/1.1"},
        // Lower-case digits are an escape too; a '%' without two digits is not.
        {"/%e2%82%ac/100%/5%z", "GET /%e2%82%ac/100%25/5%25z HTTP/1.1"},
        // An escaped zero is sent, never decoded into the end of the target.
        {"/a%00b/c", "GET /a%00b/c HTTP/1.1"},
        // Bytes that need escaping still get it next to kept escapes.
        {"/a b%20c", "GET /a%20b%20c HTTP/1.1"},
    };
    for (const Case& c : cases) {
        Builder get = MakeGet();
        ASSERT_TRUE(get->SetHeader("GET", c.target));
        EXPECT_EQ(c.line, RequestLine(*get)) << c.target;
    }
    Builder get = MakeGet();
    ASSERT_TRUE(get->SetHeader("GET", "/s?q=a%20b"));
    EXPECT_STREQ("/s", get->HeaderValue("GET"));
}

TEST(HttpGetBuilder, BuildingTwiceGivesTheSameText) {
    Builder get = MakeGet();
    ASSERT_TRUE(get->SetHeader("GET", "/a?b=c"));
    ASSERT_TRUE(get->SetHeader("X-Tag", "v"));
    const std::string first = BuildText(*get);
    EXPECT_EQ(first, BuildText(*get));
    EXPECT_NE(std::string::npos, first.find("X-Tag: v\r\n"));
}

TEST(HttpGetBuilder, HasNoClosingPart) {
    Builder get = MakeGet();
    EXPECT_EQ("", ClosingText(*get));
}

// --- Request target ---------------------------------------------------------------------

TEST(HttpRequestTarget, PathSegmentsAreEncodedOneByOne) {
    EXPECT_EQ("/a/b/c.txt", TargetOf("/a/b/c.txt"));
    EXPECT_EQ("/a%20b/%25/x%3Ay", TargetOf("/a b/%/x:y"));
    EXPECT_EQ("/a/b", TargetOf("/a//b/"));  // empty segments and the end slash go
    EXPECT_EQ("/rel", TargetOf("rel"));
    EXPECT_EQ("/%7Euser/%23frag", TargetOf("/~user/#frag"));
}

TEST(HttpRequestTarget, PathWithoutSegmentsIsSentAsSlash) {
    EXPECT_EQ("/", TargetOf("/"));
    EXPECT_EQ("/", TargetOf("////"));
    EXPECT_EQ("/", TargetOf(""));
    EXPECT_EQ("/?a=1", TargetOf("/?a=1"));
    EXPECT_EQ("/?a=1", TargetOf("?a=1"));

    Builder none = MakeGet();  // no pseudo-header at all
    EXPECT_EQ("GET / HTTP/1.1", RequestLine(*none));
}

TEST(HttpRequestTarget, PathIsConvertedFromTheSystemCodePageToUtf8) {
    // 다운로드/파일 목록.txt in CP949, the system code page of both test setups.
    EXPECT_EQ("/%EB%8B%A4%EC%9A%B4%EB%A1%9C%EB%93%9C/%ED%8C%8C%EC%9D%BC%20%EB%AA%A9%EB%A1%9D.txt",
              TargetOf("/\xb4\xd9\xbf\xee\xb7\xce\xb5\xe5/\xc6\xc4\xc0\xcf \xb8\xf1\xb7\xcf.txt"));
}

TEST(HttpRequestTarget, QueryParametersAreEncodedWithoutConversion) {
    Builder get = MakeGet();
    ASSERT_TRUE(get->SetHeader("GET", "/p"));
    ASSERT_TRUE(get->SetQueryParam("a b", "c/d"));
    ASSERT_TRUE(get->SetQueryParam("name", "\xb4\xd9"));  // CP949 bytes stay CP949
    ASSERT_TRUE(get->SetQueryParam("empty", ""));
    EXPECT_EQ("GET /p?a%20b=c%2Fd&name=%B4%D9&empty= HTTP/1.1", RequestLine(*get));
}

TEST(HttpRequestTarget, GetPseudoHeaderWinsOverPost) {
    Builder post = MakePost();
    ASSERT_TRUE(post->SetHeader("POST", "/upload"));
    EXPECT_EQ(0u, BuildText(*post).find("POST /upload HTTP/1.1\r\n"));

    Builder get = MakeGet();
    ASSERT_TRUE(get->SetHeader("POST", "/from-post"));
    EXPECT_EQ("GET /from-post HTTP/1.1", RequestLine(*get));
    ASSERT_TRUE(get->SetHeader("GET", "/from-get"));
    EXPECT_EQ("GET /from-get HTTP/1.1", RequestLine(*get));
}

TEST(HttpRequestTarget, OnlyTheTextAfterTheFirstQuestionMarkIsTheQuery) {
    Builder get = MakeGet();
    ASSERT_TRUE(get->SetHeader("GET", "/p?a=1?b=2"));
    EXPECT_STREQ("/p", get->HeaderValue("GET"));
    EXPECT_EQ("a=1?b=2", Params(*get));
    EXPECT_EQ("GET /p?a=1%3Fb%3D2 HTTP/1.1", RequestLine(*get));
}

// --- Headers and parameters of the description ------------------------------------------

TEST(HttpRequestDescription, SameHeaderNameReplacesTheValueKeepingTheFirstSpelling) {
    Builder get = MakeGet();
    ASSERT_TRUE(get->SetHeader("X-A", "1"));
    ASSERT_TRUE(get->SetHeader("x-a", "2"));
    EXPECT_EQ(1, get->HeaderCount());
    EXPECT_STREQ("2", get->HeaderValue("X-a"));
    const std::string text = BuildText(*get);
    EXPECT_NE(std::string::npos, text.find("\r\nX-A: 2\r\n"));
    EXPECT_EQ(std::string::npos, text.find("x-a"));
}

TEST(HttpRequestDescription, HeaderNeedsAName) {
    Builder get = MakeGet();
    EXPECT_FALSE(get->SetHeader(nullptr, "v"));
    EXPECT_FALSE(get->SetHeader("", "v"));
    EXPECT_TRUE(get->SetHeader("X-Null", nullptr));
    EXPECT_STREQ("", get->HeaderValue("X-Null"));
    EXPECT_EQ(nullptr, get->HeaderValue("X-Absent"));
    EXPECT_EQ(nullptr, get->HeaderValue(nullptr));
    EXPECT_EQ(1, get->HeaderCount());
}

TEST(HttpRequestDescription, QueryParamReplacesCaseInsensitively) {
    Builder get = MakeGet();
    ASSERT_TRUE(get->SetQueryParam("Key", "1"));
    ASSERT_TRUE(get->SetQueryParam("other", "x"));
    ASSERT_TRUE(get->SetQueryParam("KEY", "2"));
    EXPECT_EQ("Key=2&other=x", Params(*get));
    EXPECT_FALSE(get->SetQueryParam(nullptr, "v"));
    EXPECT_TRUE(get->SetQueryParam("n", nullptr));
    EXPECT_EQ("Key=2&other=x&n=", Params(*get));
    EXPECT_FALSE(get->QueryParamAt(3, nullptr, nullptr));
    EXPECT_FALSE(get->QueryParamAt(-1, nullptr, nullptr));
}

TEST(HttpParseQuery, DropsPiecesWithoutEquals) {
    Builder get = MakeGet();
    EXPECT_TRUE(get->ParseQuery("/p?x&a=1&&y&b=2&"));
    EXPECT_EQ("a=1&b=2", Params(*get));
}

TEST(HttpParseQuery, SplitsAtTheFirstEqualsAndStoresAsIs) {
    Builder get = MakeGet();
    EXPECT_TRUE(get->ParseQuery("?a=b=c&e=&=v&pct=%41+%zz"));
    EXPECT_EQ("a=b=c&e=&=v&pct=%41+%zz", Params(*get));
    EXPECT_EQ("GET /?a=b%3Dc&e=&=v&pct=%41+%25zz HTTP/1.1", RequestLine(*get));
}

TEST(HttpParseQuery, NothingWithoutAQuestionMark) {
    Builder get = MakeGet();
    EXPECT_TRUE(get->ParseQuery("/p&a=1"));
    EXPECT_TRUE(get->ParseQuery(nullptr));
    EXPECT_TRUE(get->ParseQuery("/p?"));
    EXPECT_EQ(0, get->QueryParamCount());
}

TEST(HttpParseQuery, LaterPieceReplacesAnEarlierOneOfTheSameName) {
    Builder get = MakeGet();
    EXPECT_TRUE(get->ParseQuery("?A=1&b=2&a=3"));
    EXPECT_EQ("A=3&b=2", Params(*get));
}

// --- POST request text ------------------------------------------------------------------

TEST(HttpPostBuilder, BoundaryIs27HyphensAndTwoRandValuesSecondFirst) {
    srand(12345);
    const unsigned first = static_cast<unsigned>(rand());
    const unsigned second = static_cast<unsigned>(rand());
    char expected[64];
    snprintf(expected, sizeof(expected), "---------------------------%08X%08X", second, first);

    srand(12345);
    nwCHttpPOSTHeaderBuilder post;
    EXPECT_STREQ(expected, post.Boundary().CStr());
    EXPECT_EQ(43u, post.Boundary().Length());
    const std::string hex = std::string(post.Boundary().CStr()).substr(27);
    EXPECT_EQ(std::string::npos, hex.find_first_not_of("0123456789ABCDEF"));
    EXPECT_EQ(std::string(27, '-'), std::string(post.Boundary().CStr()).substr(0, 27));
}

TEST(HttpPostBuilder, HeadWithBodyInOrder) {
    nwCHttpPOSTHeaderBuilder post;
    const std::string b = post.Boundary().CStr();
    ASSERT_TRUE(post.SetHeader("POST", "/up load"));
    ASSERT_TRUE(post.SetHeader("Host", "stats"));
    ASSERT_TRUE(post.SetHeader("X-Job", "7 8"));
    post.SetBodySize(100);
    const std::string part =
        "--" + b +
        "\r\n"
        "Content-Disposition: form-data; name=attach_file; filename=unknown\r\n"
        "Content-Type: application/octet-stream\r\n";
    const std::string length = std::to_string(part.size() + 2 + 100 + 51);
    EXPECT_EQ(std::string("POST /up%20load HTTP/1.1\r\n"
                          "Accept: */*\r\n"
                          "Referer: http://www.orvane.com/\r\n"
                          "Accept-Language: ko\r\n"
                          "Content-Type: multipart/form-data; boundary=") +
                  b +
                  "\r\n"
                  "User-Agent: OPeerClient\r\n"
                  "Host: stats\r\n"
                  "Content-Length: " +
                  length +
                  "\r\n"
                  "Connection: Keep-Alive\r\n"
                  "X-Job: 7%208\r\n"
                  "\r\n" +
                  part + "\r\n",
              BuildText(post));
    EXPECT_EQ("\r\n--" + b + "--\r\n", ClosingText(post));
}

TEST(HttpPostBuilder, ContentLengthEqualsTheBytesThatFollowTheHead) {
    for (int64_t body : {1, 100, 4096, 1000000}) {
        SCOPED_TRACE(body);
        Builder post = MakePost();
        ASSERT_TRUE(post->SetHeader("POST", "/u"));
        post->SetBodySize(body);
        const std::string head = BuildText(*post);
        const size_t headEnd = head.find("\r\n\r\n");
        ASSERT_NE(std::string::npos, headEnd);
        const std::string afterHead = head.substr(headEnd + 4);
        const uint64_t sent =
            afterHead.size() + static_cast<uint64_t>(body) + ClosingText(*post).size();

        const std::string key = "\r\nContent-Length: ";
        const size_t at = head.find(key);
        ASSERT_NE(std::string::npos, at);
        ASSERT_LT(at, headEnd);
        const unsigned long long announced = strtoull(head.c_str() + at + key.size(), nullptr, 10);
        EXPECT_EQ(sent, announced);
    }
}

TEST(HttpPostBuilder, SixtyFourBitBodySize) {
    nwCHttpPOSTHeaderBuilder post;
    const int64_t body = 5368709120LL;  // 5 GiB
    post.SetBodySize(body);
    const std::string text = BuildText(post);
    // What follows the head: the part header with its blank line, then the
    // body, then the 51-byte closing delimiter.
    const std::string part = text.substr(text.find("\r\n\r\n") + 4);
    EXPECT_NE(std::string::npos,
              text.find("Content-Length: " + std::to_string(part.size() + body + 51) + "\r\n"));

    post.SetBodySize(INT64_MAX);  // absurd, but no overflow
    const uint64_t huge = static_cast<uint64_t>(INT64_MAX) + part.size() + 51;
    EXPECT_NE(std::string::npos,
              BuildText(post).find("Content-Length: " + std::to_string(huge) + "\r\n"));
}

TEST(HttpPostBuilder, NoBodyMeansNoContentLengthAndABarePartHeader) {
    for (int64_t body : {0LL, -1LL, -5000000000LL}) {
        SCOPED_TRACE(body);
        nwCHttpPOSTHeaderBuilder post;
        post.SetBodySize(body);
        const std::string text = BuildText(post);
        EXPECT_EQ(std::string::npos, text.find("Content-Length"));
        EXPECT_EQ(std::string::npos, text.find("Content-Disposition"));
        const std::string end =
            "Connection: Keep-Alive\r\n\r\n--" + std::string(post.Boundary().CStr()) + "\r\n\r\n";
        ASSERT_GE(text.size(), end.size());
        EXPECT_EQ(end, text.substr(text.size() - end.size()));
    }
}

TEST(HttpPostBuilder, CallerValuesReplaceContentTypeAndLengthUnencoded) {
    nwCHttpPOSTHeaderBuilder post;
    ASSERT_TRUE(post.SetHeader("Content-Type", "text/plain; charset=x"));
    ASSERT_TRUE(post.SetHeader("Content-Length", "12"));
    post.SetBodySize(10);
    const std::string text = BuildText(post);
    EXPECT_NE(std::string::npos,
              text.find("\r\nContent-Type: text/plain; charset=x\r\nUser-Agent: OPeerClient\r\n"
                        "Content-Length: 12\r\nConnection: Keep-Alive\r\n\r\n"));
    EXPECT_EQ(std::string::npos, text.find("multipart"));
}

TEST(HttpPostBuilder, CallerContentLengthWithoutBodyGoesWithTheOthers) {
    nwCHttpPOSTHeaderBuilder post;
    ASSERT_TRUE(post.SetHeader("Content-Length", "12 "));
    const std::string text = BuildText(post);
    EXPECT_NE(std::string::npos,
              text.find("\r\nConnection: Keep-Alive\r\nContent-Length: 12%20\r\n\r\n"));
}

// --- Long inputs ------------------------------------------------------------------------

TEST(HttpBuilderLongInput, LongHeaderValueAndPath) {
    Builder get = MakeGet();
    const std::string value(1 << 20, ' ');
    std::string path;
    for (int i = 0; i < 20000; ++i)
        path += "/seg";
    path += std::string(1000, '/');
    ASSERT_TRUE(get->SetHeader("X-Big", value.c_str()));
    ASSERT_TRUE(get->SetHeader("GET", path.c_str()));
    const std::string text = BuildText(*get);
    EXPECT_EQ("GET " + path.substr(0, 80000) + " HTTP/1.1", text.substr(0, text.find("\r\n")));
    const size_t at = text.find("\r\nX-Big: ");
    ASSERT_NE(std::string::npos, at);
    EXPECT_EQ(3u << 20, text.find("\r\n", at + 2) - (at + 9));
}

TEST(HttpBuilderLongInput, ManyQueryParameters) {
    std::string target = "/q?";
    std::string expected = "/q?";
    for (int i = 0; i < 3000; ++i) {
        char piece[32];
        snprintf(piece, sizeof(piece), "%sk%d=v %d", i ? "&" : "", i, i);
        target += piece;
        snprintf(piece, sizeof(piece), "%sk%d=v%%20%d", i ? "&" : "", i, i);
        expected += piece;
        target += "&junk";  // dropped, no "="
    }
    Builder get = MakeGet();
    ASSERT_TRUE(get->SetHeader("GET", target.c_str()));
    EXPECT_EQ(3000, get->QueryParamCount());
    EXPECT_EQ("GET " + expected + " HTTP/1.1", RequestLine(*get));
}
