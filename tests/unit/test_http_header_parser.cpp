// The response head parser, and the HTTP client layer's response reader fed
// the way a connection context feeds it (unconsumed bytes offered again in
// front of the next ones), with every response cut at every byte.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwCHttpClientExLayer.h"
#include "opn/opeerqos/nwCHttpHeaderParser.h"
#include "support/HttpRecorder.h"

namespace {

std::string Str(const ovCString* s) {
    return s ? std::string(s->CStr(), s->Length()) : std::string("<null>");
}

bool ParseText(nwCHttpHeaderParser& parser, const std::string& text) {
    return parser.Parse(text.data(), (int32_t)text.size());
}

// --- parser ----------------------------------------------------------------------

TEST(HttpHeaderParser, CutsFieldsAtColonsAndKeepsTheStatusLineAsFirstRecord) {
    nwCHttpHeaderParser parser;
    const std::string head =
        "HTTP/1.1 206 Partial Content\r\n"
        "Content-Length: 1234\r\n"
        "Content-Range: bytes 0-1233/5000\r\n"
        "NoSpaceHere\r\n"
        "\r\n";
    ASSERT_TRUE(ParseText(parser, head));
    EXPECT_TRUE(parser.HasBlock());
    EXPECT_EQ(head, Str(&parser.RawText()));
    ASSERT_EQ(3, parser.Count());
    EXPECT_EQ("HTTP/1.1", Str(parser.NameAt(0)));
    EXPECT_EQ("206 Partial Content", Str(parser.ValueAt(0)));
    EXPECT_EQ("Content-Length", Str(parser.NameAt(1)));
    EXPECT_EQ("1234", Str(parser.ValueAt(1)));
    EXPECT_EQ("Content-Range", Str(parser.NameAt(2)));
    EXPECT_EQ("bytes 0-1233/5000", Str(parser.ValueAt(2)));
    EXPECT_EQ(nullptr, parser.NameAt(3));
    EXPECT_EQ(nullptr, parser.ValueAt(-1));
    EXPECT_EQ(206, parser.StatusCode());
}

TEST(HttpHeaderParser, DropsEveryCarriageReturnAndAcceptsBareNewlines) {
    nwCHttpHeaderParser parser;
    ASSERT_TRUE(ParseText(parser, "HTTP/1.0 200 OK\nX-A: a\rb\r\r\nX-B:  two  spaces\n"));
    ASSERT_EQ(3, parser.Count());
    EXPECT_EQ(
        "a"
        "b",
        Str(parser.ValueAt(1)));
    // Blanks around the value go; those inside stay.
    EXPECT_EQ("two  spaces", Str(parser.ValueAt(2)));
    EXPECT_EQ(200, parser.StatusCode());
}

TEST(HttpHeaderParser, LookupsCompareWholeNamesIgnoringCase) {
    nwCHttpHeaderParser parser;
    ASSERT_TRUE(ParseText(parser,
                          "HTTP/1.1 302 Found\r\nContent-Length: 1234\r\n"
                          "Location: http://h/x\r\nX-Loc: second\r\n\r\n"));
    EXPECT_EQ("1234", Str(parser.Find("content-length")));
    EXPECT_EQ("1234", Str(parser.Find("CONTENT-LENGTH:")));
    EXPECT_EQ("http://h/x", Str(parser.Find("Location:")));
    EXPECT_EQ("http://h/x", Str(parser.Find("location")));
    // Prefixes and longer names are other names.
    EXPECT_EQ(nullptr, parser.Find("Content"));
    EXPECT_EQ(nullptr, parser.Find("loc"));
    EXPECT_EQ(nullptr, parser.Find("Location: "));
    EXPECT_EQ(nullptr, parser.Find("Location-X"));
    EXPECT_EQ("second", Str(parser.Find("X-Loc")));
    // The status line is no header field.
    EXPECT_EQ(nullptr, parser.Find("HTTP/1.1"));
    EXPECT_EQ(nullptr, parser.Find("Missing"));
    EXPECT_EQ(nullptr, parser.Find(""));
    EXPECT_EQ(nullptr, parser.Find(nullptr));
    EXPECT_EQ(1234, parser.ContentLength());
}

TEST(HttpHeaderParser, ValuesAreKeptAsSentWithoutDecoding) {
    nwCHttpHeaderParser parser;
    ASSERT_TRUE(ParseText(parser,
                          "HTTP/1.1 302 Found\r\n"
                          "Location: http://h/a%20b\r\n"
                          "X-Utf8: %ED%95%9C%EA%B8%80\r\n"
                          "X-Odd: 100%25+%2x%4\r\n"
                          "X-Zero: ab%00cd\r\n\r\n"));
    // A Location keeps its escapes: decoding %2F or %20 here would name
    // another resource, and %00 would cut the URL short.
    EXPECT_EQ("http://h/a%20b", Str(parser.Find("Location:")));
    EXPECT_EQ("%ED%95%9C%EA%B8%80", Str(parser.Find("X-Utf8")));
    EXPECT_EQ("100%25+%2x%4", Str(parser.Find("X-Odd")));
    EXPECT_EQ("ab%00cd", Str(parser.Find("X-Zero")));
}

TEST(HttpHeaderParser, StatusCodeIsTheNumberAfterTheFirstSpaceOfTheFirstLine) {
    struct Case {
        const char* head;
        int32_t status;
    } cases[] = {
        {"HTTP/1.1 404 Not Found\r\n\r\n", 404},
        {"HTTP/1.1 200\r\n\r\n", 200},
        {"HTTP/1.1 abc\r\n\r\n", 0},
        {"HTTP/1.1  200 OK\r\n\r\n", 0},
        {"HTTP/1.1\r\nX: 200\r\n\r\n", 0},
        {"\r\n\r\n", 0},
        {"HTTP/1.1 99999999999999 Big\r\n\r\n", 999999999},
        {"HTTP/1.1 3021x\r\n\r\n", 3021},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head);
        nwCHttpHeaderParser parser;
        ASSERT_TRUE(ParseText(parser, c.head));
        EXPECT_EQ(c.status, parser.StatusCode());
    }
    nwCHttpHeaderParser empty;
    EXPECT_EQ(0, empty.StatusCode());
    EXPECT_FALSE(empty.HasBlock());
}

TEST(HttpHeaderParser, ContentLengthIsOneExactNumberOrTheResponseIsRefused) {
    struct Case {
        const char* lines;
        int64_t length;
        bool known;
        bool refused;
    } cases[] = {
        {"Content-Length: 1234", 1234, true, false},
        {"content-length: 10737418240", 10737418240LL, true, false},
        {"Content-Length: 0", 0, true, false},
        {"Content-Length: 9223372036854775807", INT64_MAX, true, false},
        // Optional white space: none, a tab, several, and after the value.
        {"Content-Length:5", 5, true, false},
        {"Content-Length:\t5", 5, true, false},
        {"Content-Length:  \t77 \t", 77, true, false},
        // Repeated equal values, as a list or as fields, are one length.
        {"Content-Length: 7, 7", 7, true, false},
        {"Content-Length: 7\r\nContent-Length: 7", 7, true, false},
        // Malformed values.
        {"Content-Length: 12abc", 0, false, true},
        {"Content-Length: abc", 0, false, true},
        {"Content-Length: -5", 0, false, true},
        {"Content-Length: +5", 0, false, true},
        {"Content-Length: 1 2", 0, false, true},
        {"Content-Length:", 0, false, true},
        {"Content-Length: 7,", 0, false, true},
        {"Content-Length: 9223372036854775808", 0, false, true},
        {"Content-Length: 99999999999999999999999", 0, false, true},
        // Conflicting values.
        {"Content-Length: 5\r\nContent-Length: 9", 0, false, true},
        {"Content-Length: 5, 6", 0, false, true},
        // Other names are not Content-Length.
        {"Content-Lengthy: 5", 0, false, false},
        {"Content-Length-Hint: 5", 0, false, false},
        {"X-Content-Length: 5", 0, false, false},
        {"Content-Length : 5", 0, false, false},  // blank before the colon: no field
        {"Content-Length-Hint: 99\r\nContent-Length: 5", 5, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        nwCHttpHeaderParser parser;
        ASSERT_TRUE(ParseText(parser, std::string("HTTP/1.1 200 OK\r\n") + c.lines + "\r\n\r\n"));
        bool known = !c.known;
        EXPECT_EQ(c.length, parser.ContentLength(&known));
        EXPECT_EQ(c.known, known);
        EXPECT_EQ(c.refused, parser.BodyRefusal() != nullptr);
    }
}

TEST(HttpHeaderParser, EncodedBodiesAreRefused) {
    struct Case {
        const char* lines;
        bool refused;
    } cases[] = {
        {"Transfer-Encoding: chunked", true},
        {"transfer-encoding:chunked", true},
        {"Transfer-Encoding: gzip, chunked", true},
        {"Transfer-Encoding: identity", false},
        {"Transfer-Encoding: Identity ,identity", false},
        {"Content-Encoding: gzip", true},
        {"Content-Encoding:\tbr", true},
        {"Content-Encoding: identity, deflate", true},
        {"Content-Encoding: identity", false},
        {"Content-Encoding:", false},
        {"Content-Length: 10\r\nTransfer-Encoding: chunked", true},
        {"Content-Encoding-Hint: gzip", false},
        {"X-Transfer-Encoding: chunked", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        nwCHttpHeaderParser parser;
        ASSERT_TRUE(ParseText(parser, std::string("HTTP/1.1 200 OK\r\n") + c.lines + "\r\n\r\n"));
        EXPECT_EQ(c.refused, parser.BodyRefusal() != nullptr);
    }
}

TEST(HttpHeaderParser, BadArgumentsAndBinaryBytes) {
    nwCHttpHeaderParser parser;
    ASSERT_TRUE(ParseText(parser, "HTTP/1.1 200 OK\r\n\r\n"));
    EXPECT_FALSE(parser.Parse(nullptr, 5));
    EXPECT_FALSE(parser.HasBlock());  // a failed parse leaves nothing behind
    EXPECT_EQ(0, parser.Count());
    EXPECT_FALSE(parser.Parse("x", -1));
    EXPECT_TRUE(parser.Parse(nullptr, 0));
    EXPECT_TRUE(parser.HasBlock());
    EXPECT_EQ(0, parser.Count());

    static const char kBinary[] = "HTTP/1.1 200 OK\r\nX\0Y: v\0w\r\n\xff\xfe:\x01\r\n\r\n";
    const std::string binary(kBinary, sizeof kBinary - 1);
    ASSERT_TRUE(ParseText(parser, binary));
    EXPECT_EQ(binary, Str(&parser.RawText()));
    ASSERT_EQ(3, parser.Count());
    EXPECT_EQ(std::string("X\0Y", 3), Str(parser.NameAt(1)));
    EXPECT_EQ(std::string("v\0w", 3), Str(parser.ValueAt(1)));
    // A zero hides nothing from the readers of the values.
    static const char kZeroLength[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\0 9\r\n\r\n";
    nwCHttpHeaderParser zeroLength;
    ASSERT_TRUE(ParseText(zeroLength, std::string(kZeroLength, sizeof kZeroLength - 1)));
    bool known = true;
    EXPECT_EQ(0, zeroLength.ContentLength(&known));
    EXPECT_FALSE(known);
    EXPECT_NE(nullptr, zeroLength.BodyRefusal());
    EXPECT_EQ("\xff\xfe", Str(parser.NameAt(2)));
    EXPECT_EQ("\x01", Str(parser.ValueAt(2)));
    parser.Clear();
    EXPECT_FALSE(parser.HasBlock());
    EXPECT_EQ(0u, parser.RawText().Length());
}

TEST(HttpHeaderParser, FindHeadEndSearchesOnFromWhereItStopped) {
    const std::string text = "HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody";
    const uint8_t* data = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t end = (int32_t)text.find("\r\n\r\n") + 4;
    EXPECT_EQ(end, nwCHttpHeaderParser::FindHeadEnd(data, (int32_t)text.size(), 0));
    for (int32_t from = 0; from < end; ++from) {
        SCOPED_TRACE(from);
        EXPECT_EQ(end, nwCHttpHeaderParser::FindHeadEnd(data, (int32_t)text.size(), from));
    }
    for (int32_t length = 0; length < end; ++length)
        EXPECT_EQ(-1, nwCHttpHeaderParser::FindHeadEnd(data, length, 0));
    EXPECT_EQ(-1, nwCHttpHeaderParser::FindHeadEnd(nullptr, 10, 0));
    const uint8_t lone[] = {'\r', '\n', '\r', '\n'};
    EXPECT_EQ(4, nwCHttpHeaderParser::FindHeadEnd(lone, 4, 0));
    const uint8_t crs[] = {'\r', '\r', '\r', '\n', '\r', '\n'};
    EXPECT_EQ(6, nwCHttpHeaderParser::FindHeadEnd(crs, 6, 0));
}

// --- response reader --------------------------------------------------------------

// Feeds a layer's stack face as a connection context would.
class ReaderHarness {
  public:
    ReaderHarness() {
        layer = new nwCHttpClientExLayer();
        holder = layer->PublicUnknown();
        recorder.layer = layer->PublicFace();
        layer->SetEventListener(&recorder, 77);
    }

    // One receive: the new bytes join what is pending. False once the
    // reader failed (the context would close).
    bool Receive(const std::string& chunk) {
        if (closed)
            return false;
        pending += chunk;
        const int32_t consumed = layer->OnData(reinterpret_cast<const uint8_t*>(pending.data()),
                                               (int32_t)pending.size());
        if (consumed < 0 || consumed > (int32_t)pending.size()) {
            Close();
            return false;
        }
        pending.erase(0, (size_t)consumed);
        return true;
    }
    void Close() {
        if (!closed) {
            closed = true;
            layer->OnClosed();
        }
    }

    nwCHttpClientExLayer* layer;
    ovSmartPtr holder;
    httptest::HttpRecorder recorder;
    std::string pending;
    bool closed = false;
};

struct Expected {
    const char* name;
    std::string response;
    int32_t status;
    int64_t contentLength;
    std::string body;
    bool complete;
    std::string location;
};

std::vector<Expected> Responses() {
    std::vector<Expected> list;
    list.push_back({"body with length",
                    "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nServer: t\r\n\r\n0123456789", 200, 10,
                    "0123456789", true, ""});
    list.push_back({"zero length", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\nstray", 200, 0, "",
                    false, ""});
    list.push_back({"no length", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nabcdefgh", 200, 0,
                    "abcdefgh", false, ""});
    list.push_back({"bytes beyond length", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcdEFGHIJ",
                    200, 4, "abcd", true, ""});
    list.push_back({"interim answer first",
                    "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nxyz",
                    200, 3, "xyz", true, ""});
    list.push_back({"redirect",
                    "HTTP/1.1 302 Found\r\nLocation: http://h/%ED%95%9C%20a\r\n"
                    "Content-Length: 0\r\n\r\n",
                    302, 0, "", false, "http://h/%ED%95%9C%20a"});
    list.push_back({"no white space after the colons",
                    "HTTP/1.1 200 OK\r\nContent-Length:3\r\nServer:\tt\r\n\r\nabc", 200, 3, "abc",
                    true, ""});
    list.push_back({"length hint beside the length",
                    "HTTP/1.1 200 OK\r\nContent-Length-Hint: 1\r\nContent-Length: 3\r\n\r\nabcd",
                    200, 3, "abc", true, ""});
    // A redirect that announces a coding still gives its Location, never a body.
    list.push_back({"chunked redirect",
                    "HTTP/1.1 301 Moved\r\nTransfer-Encoding: chunked\r\nLocation: /n\r\n\r\n"
                    "5\r\nhello\r\n0\r\n\r\n",
                    301, 0, "", false, "/n"});
    list.push_back({"body that looks like a head",
                    "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n\r\n\r\nHTTP", 200, 8,
                    "\r\n\r\nHTTP", true, ""});
    return list;
}

void CheckOutcome(const ReaderHarness& h, const Expected& e) {
    const httptest::HttpRecorder& r = h.recorder;
    EXPECT_EQ(1, r.Count("response"));
    EXPECT_EQ(e.status, r.status);
    EXPECT_EQ(e.contentLength, r.contentLength);
    EXPECT_EQ(e.body, r.body);
    EXPECT_EQ(e.complete ? 1 : 0, r.Count("complete"));
    EXPECT_EQ(e.location, r.location);
    EXPECT_EQ(0u, r.Sequence().find("response"));
    for (uint32_t key : r.keys)
        EXPECT_EQ(77u, key);
    EXPECT_FALSE(h.closed);
}

TEST(HttpResponseReader, EveryResponseInOnePiece) {
    for (const Expected& e : Responses()) {
        SCOPED_TRACE(e.name);
        ReaderHarness h;
        ASSERT_TRUE(h.Receive(e.response));
        CheckOutcome(h, e);
        if (!e.complete) {
            EXPECT_EQ("response", h.recorder.Sequence().substr(0, 8));
        }
    }
}

TEST(HttpResponseReader, EveryResponseSplitInTwoAtEveryByte) {
    for (const Expected& e : Responses()) {
        for (size_t cut = 0; cut <= e.response.size(); ++cut) {
            SCOPED_TRACE(std::string(e.name) + " cut at " + std::to_string(cut));
            ReaderHarness h;
            ASSERT_TRUE(h.Receive(e.response.substr(0, cut)));
            ASSERT_TRUE(h.Receive(e.response.substr(cut)));
            CheckOutcome(h, e);
        }
    }
}

TEST(HttpResponseReader, EveryResponseSplitInThreeAtEveryPairOfBytes) {
    for (const Expected& e : Responses()) {
        const size_t n = e.response.size();
        for (size_t a = 0; a <= n; ++a) {
            for (size_t b = a; b <= n; ++b) {
                SCOPED_TRACE(std::string(e.name) + " cuts " + std::to_string(a) + "," +
                             std::to_string(b));
                ReaderHarness h;
                ASSERT_TRUE(h.Receive(e.response.substr(0, a)));
                ASSERT_TRUE(h.Receive(e.response.substr(a, b - a)));
                ASSERT_TRUE(h.Receive(e.response.substr(b)));
                CheckOutcome(h, e);
                if (HasFailure())
                    return;
            }
        }
    }
}

TEST(HttpResponseReader, EveryResponseOneByteAtATime) {
    for (const Expected& e : Responses()) {
        SCOPED_TRACE(e.name);
        ReaderHarness h;
        const size_t headEnd = e.response.find("\r\n\r\n") + 4;
        for (size_t i = 0; i < e.response.size(); ++i) {
            ASSERT_TRUE(h.Receive(e.response.substr(i, 1)));
            // For the plain cases the head is whole only with its last byte.
            if (std::string(e.name) != "interim answer first") {
                EXPECT_EQ(i + 1 >= headEnd ? 1 : 0, h.recorder.Count("response")) << i;
            }
        }
        CheckOutcome(h, e);
    }
}

TEST(HttpResponseReader, HeadSplitOverThreeReceivesGivesOneResponseAfterTheThird) {
    ReaderHarness h;
    ASSERT_TRUE(h.Receive("HTTP/1.1 200 OK\r\nCont"));
    ASSERT_TRUE(h.Receive("ent-Length: 5\r\n\r"));
    EXPECT_EQ(0, h.recorder.Count("response"));
    EXPECT_FALSE(h.layer->HeaderReceived());
    ASSERT_TRUE(h.Receive("\nhello"));
    EXPECT_EQ("response data complete", h.recorder.Sequence());
    EXPECT_EQ("hello", h.recorder.body);
}

TEST(HttpResponseReader, ListenerThatConsumesLittleGetsTheRestOfferedAgain) {
    ReaderHarness h;
    h.recorder.consumeLimit = 3;
    ASSERT_TRUE(h.Receive("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789tail"));
    EXPECT_EQ("0123456789", h.recorder.body);
    EXPECT_EQ(1, h.recorder.Count("complete"));
    EXPECT_EQ(4, h.recorder.Count("data"));  // 3 + 3 + 3 + 1
    EXPECT_EQ(10u, h.recorder.largestDelivery);
    // The tail beyond the length is left unread, and the connection is not kept.
    EXPECT_EQ("tail", h.pending);
    int64_t remaining = -1;
    EXPECT_TRUE(OV_FAILED(h.layer->GetKeepAlive(&remaining)));
}

TEST(HttpResponseReader, ListenerThatConsumesNothingWaitsForTheNextReceive) {
    ReaderHarness h;
    h.recorder.consumeLimit = 0;
    ASSERT_TRUE(h.Receive("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nabc"));
    EXPECT_EQ("abc", h.pending);
    EXPECT_EQ("", h.recorder.body);
    h.recorder.consumeLimit = -1;
    ASSERT_TRUE(h.Receive("defXYZ"));
    EXPECT_EQ("abcdef", h.recorder.body);
    EXPECT_EQ(1, h.recorder.Count("complete"));
    EXPECT_EQ(6, h.layer->BodyReceived());
}

// Nothing was asked after an answer: bytes behind it are never delivered nor
// read (the context closes once its receive bound is full), and the
// connection may not carry another request, where they would be read as its
// answer. Also behind an empty answer, which never completes.
TEST(HttpResponseReader, BytesBehindAnAnswerAreLeftUnreadAndEndKeepAlive) {
    struct Case {
        const char* name;
        std::vector<std::string> receives;
        std::string body;
        std::string unread;
    };
    const std::string forged = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nEEE";
    const Case cases[] = {
        {"after completion",
         {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nab", std::string(5000, 'z'), "more"},
         "ab",
         std::string(5000, 'z') + "more"},
        {"with the last body bytes",
         {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nab" + forged},
         "ab",
         forged},
        {"with an empty answer's head",
         {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n" + forged},
         "",
         forged},
        {"after an empty answer",
         {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", forged},
         "",
         forged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReaderHarness h;
        for (const std::string& chunk : c.receives)
            ASSERT_TRUE(h.Receive(chunk));
        EXPECT_EQ(c.body, h.recorder.body);
        EXPECT_EQ(c.body.empty() ? 0 : 1, h.recorder.Count("complete"));
        EXPECT_EQ(c.body.empty() ? 0 : 1, h.recorder.Count("data"));
        EXPECT_EQ(1, h.recorder.Count("response"));
        EXPECT_EQ(c.unread, h.pending);
        int64_t remaining = -1;
        EXPECT_TRUE(OV_FAILED(h.layer->GetKeepAlive(&remaining)));
    }
    // The same answers alone may be kept.
    for (const char* alone : {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nab",
                              "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}) {
        ReaderHarness h;
        ASSERT_TRUE(h.Receive(alone));
        int64_t remaining = -1;
        EXPECT_TRUE(OV_SUCCEEDED(h.layer->GetKeepAlive(&remaining))) << alone;
        EXPECT_EQ(0, remaining);
    }
}

TEST(HttpResponseReader, HugeAnnouncedLengthStreamsWithoutCompleting) {
    ReaderHarness h;
    ASSERT_TRUE(h.Receive("HTTP/1.1 200 OK\r\nContent-Length: 10737418240\r\n\r\n"));
    const std::string chunk(65536, 'q');
    for (int i = 0; i < 16; ++i)
        ASSERT_TRUE(h.Receive(chunk));
    EXPECT_EQ(10737418240LL, h.recorder.contentLength);
    EXPECT_EQ(16u * 65536u, h.recorder.body.size());
    EXPECT_EQ(0, h.recorder.Count("complete"));
}

TEST(HttpResponseReader, ClosingFromInsideOnResponseStopsTheBody) {
    ReaderHarness h;
    h.recorder.hook = [&](const std::string& event) {
        if (event == "response")
            h.Close();
    };
    ASSERT_TRUE(h.Receive("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcd"));
    EXPECT_EQ("response closed", h.recorder.Sequence());
    EXPECT_EQ("", h.recorder.body);
}

TEST(HttpResponseReader, DetachedListenerHearsNothingAndBytesAreDropped) {
    ReaderHarness h;
    h.recorder.hook = [&](const std::string& event) {
        if (event == "response")
            h.layer->SetEventListener(nullptr, 0);
    };
    ASSERT_TRUE(h.Receive("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nab"));
    ASSERT_TRUE(h.Receive("cd"));
    h.Close();
    EXPECT_EQ("response", h.recorder.Sequence());
    EXPECT_TRUE(h.pending.empty());
}

TEST(HttpResponseReader, HeadWithoutEndIsRefusedOnceItPassesTheBound) {
    ReaderHarness h;
    const std::string start = "HTTP/1.1 200 OK\r\n";
    ASSERT_TRUE(h.Receive(start));
    std::string filler = "X-Fill: " + std::string(1000, 'a') + "\r\n";
    size_t fed = start.size();
    bool refused = false;
    for (int i = 0; i < 200 && !refused; ++i) {
        refused = !h.Receive(filler);
        fed += filler.size();
        if (!refused) {
            EXPECT_LE(fed, (size_t)nwCHttpClientExLayer::kMaxHeadBytes);
        }
    }
    EXPECT_TRUE(refused);
    EXPECT_GT(fed, (size_t)nwCHttpClientExLayer::kMaxHeadBytes);
    EXPECT_EQ("closed", h.recorder.Sequence());
}

TEST(HttpResponseReader, HeadJustUnderTheBoundIsAccepted) {
    ReaderHarness h;
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nX-Fill: ";
    head += std::string((size_t)nwCHttpClientExLayer::kMaxHeadBytes - head.size() - 4, 'b');
    head += "\r\n\r\n";
    ASSERT_EQ((size_t)nwCHttpClientExLayer::kMaxHeadBytes, head.size());
    ASSERT_TRUE(h.Receive(head + "!"));
    EXPECT_EQ("response data complete", h.recorder.Sequence());
}

TEST(HttpResponseReader, GarbageWithoutHeadEndGivesNoResponse) {
    ReaderHarness h;
    std::string garbage;
    for (int i = 0; i < 256; ++i)
        garbage += (char)((i * 37 + 11) % 256);
    ASSERT_TRUE(h.Receive(garbage));
    EXPECT_EQ(0, h.recorder.Count("response"));
    h.Close();
    EXPECT_EQ("closed", h.recorder.Sequence());
    int32_t status = -1;
    ovCString text;
    EXPECT_EQ(OV_S_NETWORK, h.layer->GetStatusCode(&status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(OV_E_NETWORK, h.layer->GetRawHeader(&text));
}

TEST(HttpResponseReader, QueriesBeforeAndAfterTheHead) {
    ReaderHarness h;
    int32_t status = -1;
    int64_t length = -1;
    ovCString value("stale");
    EXPECT_EQ(OV_S_NETWORK, h.layer->GetStatusCode(&status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(OV_S_NETWORK, h.layer->GetContentLength(&length));
    EXPECT_EQ(0, length);
    EXPECT_EQ(OV_E_NETWORK, h.layer->GetHeader("Content-Length", &value));
    EXPECT_EQ(0u, value.Length());

    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Length: 1234\r\nLocation: http://h/a%20b\r\n\r\n";
    ASSERT_TRUE(h.Receive(head));
    ovIHttpClientExLayer* face = h.layer->PublicFace();
    EXPECT_EQ(OV_S_NETWORK, face->GetContentLength(&length));
    EXPECT_EQ(1234, length);
    EXPECT_EQ(OV_S_NETWORK, face->GetHeader("content-length", &value));
    EXPECT_EQ("1234", Str(&value));
    EXPECT_EQ(OV_S_NETWORK, face->GetHeader("Location:", &value));
    EXPECT_EQ("http://h/a%20b", Str(&value));
    EXPECT_EQ(OV_E_NETWORK, face->GetHeader("", &value));
    EXPECT_EQ(OV_E_NETWORK, face->GetHeader(nullptr, &value));
    EXPECT_EQ(OV_E_NETWORK, face->GetHeader("Location", nullptr));
    EXPECT_EQ(OV_E_NETWORK, face->GetHeader("X-None", &value));
    EXPECT_EQ(0u, value.Length());
    ovCString raw;
    EXPECT_EQ(OV_S_NETWORK, face->GetRawHeader(&raw));
    EXPECT_EQ(head, Str(&raw));
    EXPECT_EQ(OV_E_NETWORK, face->GetStatusCode(nullptr));
    EXPECT_EQ(OV_E_NETWORK, face->GetContentLength(nullptr));
}

TEST(HttpResponseReader, SuccessWithAnEncodedOrBadlyFramedBodyIsRefused) {
    const char* const heads[] = {
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nTransfer-Encoding: chunked\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Encoding: gzip\r\n\r\n",
        "HTTP/1.1 206 Partial Content\r\nContent-Length: 10\r\nContent-Encoding: br\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 12\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 10x\r\n\r\n",
    };
    const std::string body = "a\r\n0123456789\r\n0\r\n\r\n";
    for (const char* head : heads) {
        SCOPED_TRACE(head);
        ReaderHarness h;
        EXPECT_FALSE(h.Receive(head + body));
        EXPECT_EQ("closed", h.recorder.Sequence());
        EXPECT_EQ("", h.recorder.body);
    }
    // Not-found pages keep their status for the owner, without a body.
    ReaderHarness h;
    ASSERT_TRUE(
        h.Receive("HTTP/1.1 404 Not Found\r\nContent-Encoding: gzip\r\n"
                  "Content-Length: 4\r\n\r\nzzzz"));
    EXPECT_EQ("response", h.recorder.Sequence());
    EXPECT_EQ(404, h.recorder.status);
    EXPECT_EQ("", h.recorder.body);
}

}  // namespace
