#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "opn/core/ovCTokenList.h"

namespace {

// Reads every token that is left (bounded by the count, so a list that never
// ends fails instead of hanging).
std::vector<std::string> Drain(ovCTokenList& tokens) {
    std::vector<std::string> out;
    for (int32_t i = 0; i <= tokens.Count() && tokens.HasMore(); ++i) {
        const char* token = tokens.Next();
        EXPECT_NE(nullptr, token);
        out.push_back(token ? token : "<null>");
    }
    return out;
}

std::vector<std::string> SplitAll(const char* text, char delimiter) {
    ovCTokenList tokens;
    EXPECT_TRUE(tokens.Split(text, delimiter));
    return Drain(tokens);
}

typedef std::vector<std::string> Tokens;

}  // namespace

TEST(TokenListSplit, EmptyRunsAreDropped) {
    EXPECT_EQ(Tokens({"a", "b"}), SplitAll("/a//b/", '/'));
    EXPECT_EQ(Tokens({"a", "b"}), SplitAll("a/b", '/'));
    EXPECT_EQ(Tokens({"abc"}), SplitAll("///abc", '/'));
    EXPECT_EQ(Tokens({"abc"}), SplitAll("abc///", '/'));
    EXPECT_EQ(Tokens(), SplitAll("////", '/'));
    EXPECT_EQ(Tokens(), SplitAll("/", '/'));
}

TEST(TokenListSplit, NoDelimiterGivesWholeText) {
    EXPECT_EQ(Tokens({"index.html"}), SplitAll("index.html", '/'));
    EXPECT_EQ(Tokens({"x"}), SplitAll("x", '/'));
}

TEST(TokenListSplit, EmptyAndNullTextGiveNothing) {
    EXPECT_EQ(Tokens(), SplitAll("", '/'));
    ovCTokenList tokens;
    EXPECT_TRUE(tokens.Split(nullptr, '/'));
    EXPECT_EQ(0, tokens.Count());
    EXPECT_FALSE(tokens.HasMore());
    EXPECT_EQ(nullptr, tokens.Next());
}

TEST(TokenListSplit, ZeroDelimiterKeepsTextWhole) {
    EXPECT_EQ(Tokens({"a/b c"}), SplitAll("a/b c", '\0'));
}

TEST(TokenListSplit, MirrorListAndHighBytes) {
    EXPECT_EQ(Tokens({"http://a/f.exe", "http://b/f.exe"}),
              SplitAll("http://a/f.exe|http://b/f.exe", '|'));
    // CP949 text: the delimiter is a plain byte, lead bytes are not special.
    EXPECT_EQ(Tokens({"\xB4\xD9\xBF\xEE", "\xB7\xCE\xB5\xE5"}),
              SplitAll("\xB4\xD9\xBF\xEE|\xB7\xCE\xB5\xE5", '|'));
    EXPECT_EQ(Tokens({"a", "b"}), SplitAll("a\xFF\xFF"
                                           "b\xFF",
                                           '\xFF'));
}

TEST(TokenListSplit, TokensAreOwnCopies) {
    char text[] = "one,two";
    ovCTokenList tokens;
    ASSERT_TRUE(tokens.Split(text, ','));
    text[0] = 'X';
    text[4] = 'Y';
    EXPECT_EQ(Tokens({"one", "two"}), Drain(tokens));
}

TEST(TokenListRead, NextWalksInOrderThenStops) {
    ovCTokenList tokens;
    ASSERT_TRUE(tokens.Split("GET /index.html HTTP/1.1", ' '));
    EXPECT_EQ(3, tokens.Count());
    ASSERT_TRUE(tokens.HasMore());
    EXPECT_STREQ("GET", tokens.Next());
    EXPECT_STREQ("/index.html", tokens.Next());
    ASSERT_TRUE(tokens.HasMore());
    EXPECT_STREQ("HTTP/1.1", tokens.Next());
    EXPECT_FALSE(tokens.HasMore());
    EXPECT_EQ(nullptr, tokens.Next());
    EXPECT_EQ(nullptr, tokens.Next());
    EXPECT_FALSE(tokens.HasMore());
}

TEST(TokenListRead, SplitAgainReplacesTokensAndRewinds) {
    ovCTokenList tokens;
    ASSERT_TRUE(tokens.Split("a b c", ' '));
    EXPECT_STREQ("a", tokens.Next());
    EXPECT_STREQ("b", tokens.Next());
    ASSERT_TRUE(tokens.Split("x;y", ';'));
    EXPECT_EQ(2, tokens.Count());
    EXPECT_EQ(Tokens({"x", "y"}), Drain(tokens));
    ASSERT_TRUE(tokens.Split("", ';'));
    EXPECT_EQ(0, tokens.Count());
    EXPECT_FALSE(tokens.HasMore());
}

TEST(TokenListRead, ClearFreesAndRewinds) {
    ovCTokenList tokens;
    ASSERT_TRUE(tokens.Split("a,b", ','));
    tokens.Next();
    tokens.Clear();
    EXPECT_EQ(0, tokens.Count());
    EXPECT_FALSE(tokens.HasMore());
    EXPECT_EQ(nullptr, tokens.Next());
    tokens.Clear();  // twice is harmless
    ASSERT_TRUE(tokens.Split("c", ','));
    EXPECT_EQ(Tokens({"c"}), Drain(tokens));
}

TEST(TokenListRead, ManyTokens) {
    std::string text;
    const int kCount = 500;
    for (int i = 0; i < kCount; ++i) {
        text += "/t" + std::to_string(i);
    }
    ovCTokenList tokens;
    ASSERT_TRUE(tokens.Split(text.c_str(), '/'));
    ASSERT_EQ(kCount, tokens.Count());
    const Tokens all = Drain(tokens);
    ASSERT_EQ(static_cast<size_t>(kCount), all.size());
    EXPECT_EQ("t0", all.front());
    EXPECT_EQ("t499", all.back());
}
