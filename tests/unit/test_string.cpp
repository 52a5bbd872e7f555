#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>

#include "opn/core/ovAscii.h"
#include "opn/core/ovCString.h"

namespace {

// All Length() bytes, zeros included, so failures show the exact bytes.
std::string Bytes(const ovCString& s) {
    return std::string(s.CStr(), s.Length());
}

// A string from a literal that may hold zeros (the terminator is left out).
template <size_t N>
ovCString Counted(const char (&text)[N]) {
    ovCString s;
    s.Assign(text, static_cast<uint32_t>(N - 1));
    return s;
}

// Switches fault injection off again even when an assertion fails mid-test.
class FailAllocations {
  public:
    explicit FailAllocations(uint32_t count) { ovCString::FailAllocationsForTest(count); }
    ~FailAllocations() { ovCString::FailAllocationsForTest(0); }
};

const char kTwenty[] = "0123456789abcdefghij";

}  // namespace

TEST(StringConstruct, EmptyStringIsInlineAndTerminated) {
    ovCString s;
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(0u, s.Length());
    EXPECT_TRUE(s.IsInline());
    ASSERT_NE(nullptr, s.CStr());
    EXPECT_STREQ("", s.CStr());
}

TEST(StringConstruct, FromCStringAndNull) {
    ovCString a("hello");
    EXPECT_EQ("hello", Bytes(a));
    ovCString b(static_cast<const char*>(nullptr));
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_STREQ("", b.CStr());
    ovCString c("");
    EXPECT_TRUE(c.IsEmpty());
}

TEST(StringConstruct, FromCharacter) {
    ovCString x('x');
    EXPECT_EQ("x", Bytes(x));
    EXPECT_TRUE(x.IsInline());
    ovCString high('\xB4');
    EXPECT_EQ("\xB4", Bytes(high));
    ovCString zero('\0');
    EXPECT_TRUE(zero.IsEmpty());
}

TEST(StringConstruct, CopyKeepsEveryByteIncludingZeros) {
    ovCString source = Counted("ab\0cd\0");
    ASSERT_EQ(6u, source.Length());
    ovCString copy(source);
    EXPECT_EQ(6u, copy.Length());
    EXPECT_EQ(Bytes(source), Bytes(copy));
    EXPECT_NE(source.CStr(), copy.CStr());  // its own buffer

    ovCString shortCopy(ovCString("ab"));
    EXPECT_EQ("ab", Bytes(shortCopy));
    EXPECT_TRUE(shortCopy.IsInline());
}

TEST(StringConstruct, OperatorsAssign) {
    ovCString s;
    s = "content";
    EXPECT_EQ("content", Bytes(s));
    ovCString t;
    t = s;
    EXPECT_EQ("content", Bytes(t));
    s = static_cast<const char*>(nullptr);
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ("content", Bytes(t));
}

TEST(StringStorage, ThreeBytesInlineFourthMovesToHeap) {
    ovCString s("abc");
    EXPECT_TRUE(s.IsInline());
    EXPECT_EQ(3u, s.Length());
    // The inline cell lives inside the object itself.
    const char* object = reinterpret_cast<const char*>(&s);
    EXPECT_TRUE(s.CStr() >= object && s.CStr() < object + sizeof(s));

    ASSERT_TRUE(s.Append("d"));
    EXPECT_FALSE(s.IsInline());
    EXPECT_EQ(4u, s.Length());
    EXPECT_EQ("abcd", Bytes(s));
    EXPECT_EQ('\0', s.CStr()[4]);
    EXPECT_FALSE(s.CStr() >= object && s.CStr() < object + sizeof(s));
}

TEST(StringStorage, InlineAppendsStayInline) {
    ovCString s;
    ASSERT_TRUE(s.Append("a"));
    ASSERT_TRUE(s.Append("b"));
    ASSERT_TRUE(s.Append("c"));
    EXPECT_TRUE(s.IsInline());
    EXPECT_EQ("abc", Bytes(s));
    EXPECT_EQ('\0', s.CStr()[3]);
}

TEST(StringStorage, HeapBackToInlineOnShortAssign) {
    ovCString s(kTwenty);
    ASSERT_FALSE(s.IsInline());
    ASSERT_TRUE(s.Assign("xy"));
    EXPECT_TRUE(s.IsInline());
    EXPECT_EQ("xy", Bytes(s));
    ASSERT_TRUE(s.Assign("wxyz"));
    EXPECT_FALSE(s.IsInline());
    ASSERT_TRUE(s.Assign("q", 1));
    EXPECT_TRUE(s.IsInline());
    EXPECT_EQ("q", Bytes(s));
}

TEST(StringStorage, ClearFreesHeapAndEmpties) {
    ovCString s(kTwenty);
    s.Clear();
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_TRUE(s.IsInline());
    EXPECT_STREQ("", s.CStr());
    s.Clear();  // twice is harmless
    EXPECT_TRUE(s.IsEmpty());
    ASSERT_TRUE(s.Append("again"));
    EXPECT_EQ("again", Bytes(s));
}

TEST(StringStorage, EveryLongAppendTakesANewBuffer) {
    ovCString s("abcd");
    for (int i = 0; i < 8; ++i) {
        const char* before = s.CStr();
        ASSERT_TRUE(s.Append("e"));
        EXPECT_NE(before, s.CStr()) << "append " << i;
    }
    EXPECT_EQ("abcdeeeeeeee", Bytes(s));
}

TEST(StringAssign, ShorterTextReusesHeapBuffer) {
    ovCString s(kTwenty);
    const char* buffer = s.CStr();
    ASSERT_TRUE(s.Assign("ABCDEFGHIJ"));
    EXPECT_EQ(buffer, s.CStr());
    EXPECT_EQ(10u, s.Length());
    EXPECT_EQ("ABCDEFGHIJ", Bytes(s));
    EXPECT_EQ('\0', s.CStr()[10]);

    // Equal length reuses too.
    ASSERT_TRUE(s.Assign("KLMNOPQRST", 10));
    EXPECT_EQ(buffer, s.CStr());
    EXPECT_EQ("KLMNOPQRST", Bytes(s));
}

TEST(StringAssign, LongerTextTakesNewBuffer) {
    ovCString s(kTwenty);
    ASSERT_TRUE(s.Assign("ABCDEFGHIJ"));
    const char* buffer = s.CStr();
    // The current length (10) decides, not the size the buffer once had.
    ASSERT_TRUE(s.Assign("ABCDEFGHIJKLMNO"));
    EXPECT_NE(buffer, s.CStr());
    EXPECT_EQ("ABCDEFGHIJKLMNO", Bytes(s));
}

TEST(StringAssign, InlineStringGetsHeapBufferForLongText) {
    ovCString s("ab");
    ASSERT_TRUE(s.Assign(kTwenty));
    EXPECT_FALSE(s.IsInline());
    EXPECT_EQ(kTwenty, Bytes(s));
}

TEST(StringAssign, NullOrEmptySourceClears) {
    ovCString s(kTwenty);
    ASSERT_TRUE(s.Assign(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(s.IsEmpty());

    s = kTwenty;
    ASSERT_TRUE(s.Assign(""));
    EXPECT_TRUE(s.IsEmpty());

    s = kTwenty;
    ASSERT_TRUE(s.Assign("abc", 0));
    EXPECT_TRUE(s.IsEmpty());

    s = kTwenty;
    ASSERT_TRUE(s.Assign(nullptr, 5));
    EXPECT_TRUE(s.IsEmpty());

    s = kTwenty;
    ASSERT_TRUE(s.Assign(ovCString()));
    EXPECT_TRUE(s.IsEmpty());
}

TEST(StringAssign, SelfAssignmentKeepsText) {
    ovCString heap(kTwenty);
    const char* buffer = heap.CStr();
    ASSERT_TRUE(heap.Assign(heap));
    EXPECT_EQ(kTwenty, Bytes(heap));
    EXPECT_EQ(buffer, heap.CStr());
    const ovCString& alias = heap;
    heap = alias;
    EXPECT_EQ(kTwenty, Bytes(heap));

    ovCString cell("ab");
    ASSERT_TRUE(cell.Assign(cell));
    EXPECT_EQ("ab", Bytes(cell));

    // Assigning its own C string (same bytes, same place) is safe as well.
    ASSERT_TRUE(heap.Assign(heap.CStr()));
    EXPECT_EQ(kTwenty, Bytes(heap));
}

TEST(StringAssign, SourceInsideOwnBuffer) {
    ovCString s(kTwenty);
    const char* buffer = s.CStr();
    ASSERT_TRUE(s.Assign(s.CStr() + 5, 10));
    EXPECT_EQ(buffer, s.CStr());
    EXPECT_EQ("56789abcde", Bytes(s));

    // Into the inline cell from the heap buffer that is then freed.
    ASSERT_TRUE(s.Assign(s.CStr() + 7, 3));
    EXPECT_TRUE(s.IsInline());
    EXPECT_EQ("cde", Bytes(s));

    // Within the inline cell itself.
    ASSERT_TRUE(s.Assign(s.CStr() + 1, 2));
    EXPECT_EQ("de", Bytes(s));
}

TEST(StringEmbeddedZero, CountedOperationsKeepZeros) {
    ovCString s;
    ASSERT_TRUE(s.Assign("ab\0cd", 5));
    EXPECT_EQ(5u, s.Length());
    EXPECT_EQ(std::string("ab\0cd", 5), Bytes(s));

    ASSERT_TRUE(s.Append("\0x", 2));
    EXPECT_EQ(7u, s.Length());
    EXPECT_EQ(std::string("ab\0cd\0x", 7), Bytes(s));

    ovCString t("z");
    ASSERT_TRUE(t.Append(s));
    EXPECT_EQ(std::string("zab\0cd\0x", 8), Bytes(t));

    ovCString cell;
    ASSERT_TRUE(cell.Assign("\0\0", 2));
    EXPECT_EQ(2u, cell.Length());
    EXPECT_FALSE(cell.IsEmpty());
    EXPECT_TRUE(cell.IsInline());
}

TEST(StringEmbeddedZero, CStringOperationsStopAtZero) {
    ovCString s;
    ASSERT_TRUE(s.Assign("ab\0cd"));
    EXPECT_EQ(2u, s.Length());

    ovCString t("xy");
    ASSERT_TRUE(t.Append("ab\0cd"));
    EXPECT_EQ("xyab", Bytes(t));

    ovCString zeros = Counted("ab\0cd");
    EXPECT_TRUE(zeros.Equals("ab"));
    EXPECT_TRUE(zeros.Equals(ovCString("ab")));
    EXPECT_EQ(-1, zeros.Find("cd"));
    // A search that starts past the zero sees the rest as its own C string.
    EXPECT_EQ(3, zeros.Find("cd", 3));

    ovCString left;
    ovCString right;
    ovCString split = Counted("ab\0c:d");
    EXPECT_FALSE(split.SplitAt(':', left, right));
}

TEST(StringAppend, NullAndEmptyAppendNothing) {
    ovCString s("abcd");
    const char* buffer = s.CStr();
    ASSERT_TRUE(s.Append(static_cast<const char*>(nullptr)));
    ASSERT_TRUE(s.Append(""));
    ASSERT_TRUE(s.Append("xyz", 0));
    ASSERT_TRUE(s.Append(nullptr, 3));
    ASSERT_TRUE(s.Append(ovCString()));
    EXPECT_EQ("abcd", Bytes(s));
    EXPECT_EQ(buffer, s.CStr());
}

TEST(StringAppend, CountedAppendTakesExactlyN) {
    ovCString s;
    ASSERT_TRUE(s.Append("abcdef", 2));
    EXPECT_EQ("ab", Bytes(s));
    ASSERT_TRUE(s.Append("cdefgh", 4));
    EXPECT_EQ("abcdef", Bytes(s));
    EXPECT_EQ('\0', s.CStr()[6]);
}

TEST(StringAppend, SelfAppendDoubles) {
    ovCString one("a");
    ASSERT_TRUE(one.Append(one));
    EXPECT_EQ("aa", Bytes(one));
    EXPECT_TRUE(one.IsInline());

    ovCString two("ab");
    ASSERT_TRUE(two.Append(two));  // inline to heap while reading itself
    EXPECT_EQ("abab", Bytes(two));
    EXPECT_FALSE(two.IsInline());

    ASSERT_TRUE(two.Append(two));  // heap to heap while reading itself
    EXPECT_EQ("abababab", Bytes(two));

    ovCString part("abcdef");
    ASSERT_TRUE(part.Append(part.CStr() + 2, 3));
    EXPECT_EQ("abcdefcde", Bytes(part));

    ovCString cell("ab");
    ASSERT_TRUE(cell.Append(cell.CStr() + 1));
    EXPECT_EQ("abb", Bytes(cell));
}

TEST(StringAppend, RefusesCountThatOverflowsLength) {
    ovCString s("abcd");
    // The count is checked before any byte is read.
    EXPECT_FALSE(s.Append("x", UINT32_MAX - 4));
    EXPECT_FALSE(s.Append("x", UINT32_MAX));
    EXPECT_EQ("abcd", Bytes(s));
}

TEST(StringAllocationFailure, AppendKeepsOldText) {
    ovCString s("abcdef");
    const char* buffer = s.CStr();
    {
        FailAllocations fail(1);
        EXPECT_FALSE(s.Append("g"));
    }
    EXPECT_EQ("abcdef", Bytes(s));
    EXPECT_EQ(buffer, s.CStr());

    ovCString cell("ab");
    {
        FailAllocations fail(1);
        EXPECT_FALSE(cell.Append("cd"));
        EXPECT_EQ("ab", Bytes(cell));
        EXPECT_TRUE(cell.IsInline());
        // Growing within the inline cell needs no allocation.
        EXPECT_TRUE(cell.Append("c"));
    }
    EXPECT_EQ("abc", Bytes(cell));
}

TEST(StringAllocationFailure, AssignKeepsOldText) {
    ovCString s("abcd");
    {
        FailAllocations fail(1);
        EXPECT_FALSE(s.Assign(kTwenty));
        EXPECT_EQ("abcd", Bytes(s));
        EXPECT_TRUE(s.Assign("xy"));  // inline: no allocation
        EXPECT_EQ("xy", Bytes(s));
    }
    ovCString heap(kTwenty);
    {
        FailAllocations fail(1);
        EXPECT_TRUE(heap.Assign("0123456789"));  // reuse: no allocation
    }
    EXPECT_EQ("0123456789", Bytes(heap));
}

TEST(StringAllocationFailure, CopyAndSubstringComeOutEmpty) {
    ovCString source(kTwenty);
    {
        FailAllocations fail(2);
        ovCString copy(source);
        EXPECT_TRUE(copy.IsEmpty());
        EXPECT_TRUE(source.Substring(2, 10).IsEmpty());
    }
    EXPECT_EQ(kTwenty, Bytes(source));
    EXPECT_EQ("23456789ab", Bytes(source.Substring(2, 10)));
}

TEST(StringAllocationFailure, InjectionOnlyCountsRealAllocations) {
    FailAllocations fail(1);
    ovCString s("ab");  // inline, so the failure is still pending
    EXPECT_FALSE(s.Append("cdef"));
    EXPECT_TRUE(s.Append("cdef"));  // the one failure is used up
    EXPECT_EQ("abcdef", Bytes(s));
}

TEST(StringFind, SlashPositions) {
    ovCString s("a/b/c");
    EXPECT_EQ(1, s.Find("/", 0));
    EXPECT_EQ(1, s.Find("/"));
    EXPECT_EQ(1, s.Find("/", 1));
    EXPECT_EQ(3, s.Find("/", 2));
    EXPECT_EQ(-1, s.Find("/", 4));
    EXPECT_EQ(-1, ovCString("abc").Find("/"));
}

TEST(StringFind, Bounds) {
    ovCString s("abcdef");
    EXPECT_EQ(5, s.Find("f", 5));
    EXPECT_EQ(-1, s.Find("f", 6));  // from == length: nothing left
    EXPECT_EQ(-1, s.Find("f", 7));  // from past the end
    EXPECT_EQ(-1, s.Find("f", UINT32_MAX));
    EXPECT_EQ(-1, s.Find(static_cast<const char*>(nullptr)));
    EXPECT_EQ(-1, s.Find(""));
    EXPECT_EQ(-1, ovCString().Find("a"));
    EXPECT_EQ(-1, s.Find("efg"));  // runs over the end
    EXPECT_EQ(0, s.Find("abcdef"));
    EXPECT_EQ(-1, s.Find("abcdefg"));
}

TEST(StringFind, MultiByteNeedleAndStringOverload) {
    ovCString header("Content-Type: text/html\r\n\r\nbody");
    EXPECT_EQ(23, header.Find("\r\n\r\n"));
    EXPECT_EQ(23, header.Find(ovCString("\r\n\r\n")));
    EXPECT_EQ(-1, header.Find(ovCString("\r\n\r\n"), 24));
    EXPECT_EQ(-1, header.Find(ovCString()));
}

TEST(StringSubstring, ClipsAtEnd) {
    ovCString s("abcdef");
    EXPECT_EQ("cdef", Bytes(s.Substring(2, 100)));
    EXPECT_EQ("cd", Bytes(s.Substring(2, 2)));
    EXPECT_EQ("abcdef", Bytes(s.Substring(0, 6)));
    EXPECT_EQ("f", Bytes(s.Substring(5, 1)));
    EXPECT_TRUE(s.Substring(2, 2).IsInline());
    EXPECT_FALSE(s.Substring(1, 4).IsInline());
}

TEST(StringSubstring, EmptyResults) {
    ovCString s("abcdef");
    EXPECT_TRUE(s.Substring(7, 1).IsEmpty());
    EXPECT_TRUE(s.Substring(6, 1).IsEmpty());
    EXPECT_TRUE(s.Substring(UINT32_MAX, 1).IsEmpty());
    EXPECT_TRUE(s.Substring(0, 0).IsEmpty());
    EXPECT_TRUE(ovCString().Substring(0, 5).IsEmpty());
}

TEST(StringSubstring, CountLimit) {
    ovCString s("abcdef");
    EXPECT_EQ("abcdef", Bytes(s.Substring(0, 0x100000)));
    EXPECT_TRUE(s.Substring(0, 0x100001).IsEmpty());
    EXPECT_TRUE(s.Substring(0, UINT32_MAX).IsEmpty());
}

TEST(StringSubstring, KeepsZerosAndLeavesSourceAlone) {
    ovCString s = Counted("ab\0cdef");
    ovCString sub = s.Substring(1, 4);
    EXPECT_EQ(std::string("b\0cd", 4), Bytes(sub));
    EXPECT_EQ(std::string("ab\0cdef", 7), Bytes(s));
}

TEST(StringToLower, OnlyAsciiLetters) {
    ovCString s("Content-TYPE");
    s.ToLower();
    EXPECT_EQ("content-type", Bytes(s));

    // '@' and '[' border A-Z; 0xC0-0xDE are upper-case letters in Latin-1
    // and CP949 lead bytes, and must stay as they are.
    ovCString edges("@AZ[`az{\xC0\xC1\xC9\xDA\xDE\xB4\xD9");
    edges.ToLower();
    EXPECT_EQ("@az[`az{\xC0\xC1\xC9\xDA\xDE\xB4\xD9", Bytes(edges));

    ovCString cell("AbC");
    cell.ToLower();
    EXPECT_EQ("abc", Bytes(cell));

    ovCString empty;
    empty.ToLower();
    EXPECT_TRUE(empty.IsEmpty());
}

TEST(StringToLower, CoversBytesAfterZero) {
    ovCString s = Counted("AB\0CD");
    s.ToLower();
    EXPECT_EQ(std::string("ab\0cd", 5), Bytes(s));
}

TEST(StringEquals, ByteWise) {
    ovCString s("Host");
    EXPECT_TRUE(s.Equals("Host"));
    EXPECT_TRUE(s.Equals(ovCString("Host")));
    EXPECT_FALSE(s.Equals("host"));
    EXPECT_FALSE(s.Equals("Hos"));
    EXPECT_FALSE(s.Equals("Hosts"));
    EXPECT_FALSE(s.Equals(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(ovCString().Equals(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(ovCString().Equals(""));
    EXPECT_TRUE(ovCString("\xB4\xD9").Equals("\xB4\xD9"));
    EXPECT_FALSE(ovCString("\xB4\xD9").Equals("\xB4\xDA"));
}

TEST(StringSplitAt, HostAndPort) {
    ovCString s("host:8080");
    ovCString left;
    ovCString right;
    ASSERT_TRUE(s.SplitAt(':', left, right));
    EXPECT_EQ("host", Bytes(left));
    EXPECT_EQ("8080", Bytes(right));
    EXPECT_EQ("host:8080", Bytes(s));
}

TEST(StringSplitAt, FalseLeavesOutputsUntouched) {
    ovCString left("L");
    ovCString right("R");
    EXPECT_FALSE(ovCString("host").SplitAt(':', left, right));
    EXPECT_FALSE(ovCString().SplitAt(':', left, right));
    EXPECT_FALSE(ovCString("host").SplitAt('\0', left, right));
    EXPECT_EQ("L", Bytes(left));
    EXPECT_EQ("R", Bytes(right));
}

TEST(StringSplitAt, FirstDelimiterAndEmptySides) {
    ovCString left;
    ovCString right;
    ASSERT_TRUE(ovCString("a:b:c").SplitAt(':', left, right));
    EXPECT_EQ("a", Bytes(left));
    EXPECT_EQ("b:c", Bytes(right));

    ASSERT_TRUE(ovCString(":8080").SplitAt(':', left, right));
    EXPECT_TRUE(left.IsEmpty());
    EXPECT_EQ("8080", Bytes(right));

    ASSERT_TRUE(ovCString("host:").SplitAt(':', left, right));
    EXPECT_EQ("host", Bytes(left));
    EXPECT_TRUE(right.IsEmpty());

    ASSERT_TRUE(ovCString(":").SplitAt(':', left, right));
    EXPECT_TRUE(left.IsEmpty());
    EXPECT_TRUE(right.IsEmpty());
}

TEST(StringSplitAt, OutputMayBeTheSource) {
    ovCString s("www.example.com:443");
    ovCString port;
    ASSERT_TRUE(s.SplitAt(':', s, port));
    EXPECT_EQ("www.example.com", Bytes(s));
    EXPECT_EQ("443", Bytes(port));

    ovCString t("key=a long value");
    ovCString key;
    ASSERT_TRUE(t.SplitAt('=', key, t));
    EXPECT_EQ("key", Bytes(key));
    EXPECT_EQ("a long value", Bytes(t));
}

TEST(StringSplitAt, FailsCleanlyWithoutMemory) {
    ovCString s("a long host name:a long port");
    ovCString left("L");
    ovCString right("R");
    {
        FailAllocations fail(1);
        EXPECT_FALSE(s.SplitAt(':', left, right));
    }
    EXPECT_EQ("L", Bytes(left));
    EXPECT_EQ("R", Bytes(right));
}

TEST(StringSwap, ExchangesInlineAndHeap) {
    ovCString a("ab");
    ovCString b(kTwenty);
    const char* buffer = b.CStr();
    a.Swap(b);
    EXPECT_EQ(kTwenty, Bytes(a));
    EXPECT_EQ(buffer, a.CStr());
    EXPECT_EQ("ab", Bytes(b));
    EXPECT_TRUE(b.IsInline());
    a.Swap(a);
    EXPECT_EQ(kTwenty, Bytes(a));
}

// Protocol words fold A-Z only: CP949 bytes compare as they are, counted
// compares take zeros as bytes, and a prefix longer than the text is no
// prefix (and is not read past the text's end).
TEST(AsciiCase, OnlyAsciiLettersFold) {
    struct Case {
        const char* a;
        size_t n;
        const char* b;
        size_t m;
        bool equal;
    };
    const Case cases[] = {
        {"Content-Length", 14, "content-length", 14, true},
        {"\xC7\xD1", 2, "\xC7\xD1", 2, true},   // CP949 bytes, the same
        {"\xC7\xD1", 2, "\xE7\xF1", 2, false},  // 0x20 apart, but no letters
        {"a\0b", 3, "A\0B", 3, true},
        {"a\0b", 3, "a\0c", 3, false},
        {"ab", 2, "ab", 3, false},
        {"[", 1, "{", 1, false},  // 0x5B and 0x7B are no letters
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.a);
        EXPECT_EQ(c.equal, AsciiEqualsNoCase(c.a, c.n, c.b, c.m));
    }
    EXPECT_TRUE(AsciiEqualsNoCase("HTTP://", "http://"));
    EXPECT_FALSE(AsciiEqualsNoCase("http", "https"));
    EXPECT_TRUE(AsciiStartsWithNoCase("HTTPS://host", "https://"));
    EXPECT_FALSE(AsciiStartsWithNoCase("http", "https://"));
    EXPECT_FALSE(AsciiStartsWithNoCase("\xC8\xD1", "\xE8\xF1"));
}
