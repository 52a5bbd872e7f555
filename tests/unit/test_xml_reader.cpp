// The XML reader: a real engine-update manifest and the questions its reader
// asks, the read statuses, entity decoding, and inputs that are cut short,
// nested too deep, too large or otherwise malformed.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "sdk/support/CXMLParserOrvane.h"
#include "sdk/support/XmlText.h"

namespace {

std::string Str(const ovCString& s) {
    return std::string(s.CStr(), s.Length());
}

std::string Attribute(const XmlElement* element, const char* name) {
    char out[kXmlValueBuffer];
    uint32_t length = CXMLParserOrvane::GetAttribute(element, name, out);
    EXPECT_EQ(strlen(out), length);
    return std::string(out, length);
}

std::string DecodedName(const XmlElement* element) {
    ovCString name;
    EXPECT_TRUE(XmlDecode(element->name, name));
    return Str(name);
}

// Switches string fault injection off again however a test ends.
class FailAllocations {
  public:
    explicit FailAllocations(uint32_t count) { ovCString::FailAllocationsForTest(count); }
    ~FailAllocations() { ovCString::FailAllocationsForTest(0); }
};

const char kManifest[] =
    "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\r\n"
    "<!-- engine update list -->\r\n"
    "<?generator name=\"make-engine-content\"?>\r\n"
    "<KVX_updater>\r\n"
    "  <all>\r\n"
    "    <all url=\"http://127.0.0.1:8080/ActiveX/update/ldDownloader.zip\"\r\n"
    "         hash=\"http://127.0.0.1:8080/ActiveX/update/ldDownloader.zip.md4\"/>\r\n"
    "  </all>\r\n"
    "  <!-- one entry per engine file -->\r\n"
    "  <FILE>\r\n"
    "    <ldDownload.exe url=\"http://127.0.0.1:8080/get?name=ldDownload.7z&amp;v=3\" "
    "hash=\"http://127.0.0.1:8080/ldDownload.7z.md4\" ver=\"1.0.3.7\"/>\r\n"
    "    <config.ini url=\"http://127.0.0.1:8080/config.7z\"></config.ini>\r\n"
    "  </FILE>\r\n"
    "  <notes lang=\"ko\">Release &lt;3&gt;<![CDATA[<b>raw & kept</b>]]>after</notes>\r\n"
    "  <entities named=\"&amp; &lt; &gt; &quot; &apos;\" numeric=\"&#65;&#x41;&#xAC00;\" "
    "plain=\"AT&T &c\"/>\r\n"
    "</KVX_updater>\r\n";

}  // namespace

TEST(XmlReader, ManifestAnswersTheUpdateQuestions) {
    CXMLParserOrvane parser;
    EXPECT_EQ(nullptr, parser.Root());
    const XmlDocument* document = parser.Parse(kManifest);
    ASSERT_NE(nullptr, document);
    EXPECT_EQ(kXmlStatusOk, document->status);
    EXPECT_EQ("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>",
              Str(document->declaration.text));
    ASSERT_EQ(2u, document->declaration.nodes.Count());
    EXPECT_EQ(" engine update list ", Str(document->declaration.nodes.At(0)->text));
    EXPECT_EQ("generator name=\"make-engine-content\"",
              Str(document->declaration.nodes.At(1)->text));

    const XmlElement* root = parser.Root();
    ASSERT_NE(nullptr, root);
    EXPECT_EQ("KVX_updater", DecodedName(root));
    EXPECT_EQ(nullptr, root->parent);
    EXPECT_EQ(4u, CXMLParserOrvane::ChildCount(root));
    ASSERT_EQ(1u, root->comments.Count());
    EXPECT_EQ(" one entry per engine file ", Str(root->comments.At(0)->text));
    EXPECT_EQ(1u, root->comments.At(0)->position);  // after "all"

    // The package: all / all, letter case of element names ignored.
    const XmlElement* all =
        CXMLParserOrvane::FindChild(CXMLParserOrvane::FindChild(root, "ALL"), "all");
    ASSERT_NE(nullptr, all);
    EXPECT_EQ("http://127.0.0.1:8080/ActiveX/update/ldDownloader.zip", Attribute(all, "url"));
    EXPECT_EQ("http://127.0.0.1:8080/ActiveX/update/ldDownloader.zip.md4", Attribute(all, "hash"));
    EXPECT_EQ(0u, CXMLParserOrvane::ChildCount(all));

    // Single files: file / <name>, and the engine's version.
    const XmlElement* files = CXMLParserOrvane::FindChild(root, "file");
    ASSERT_NE(nullptr, files);
    EXPECT_EQ(2u, CXMLParserOrvane::ChildCount(files));
    const XmlElement* engine = CXMLParserOrvane::FindChild(files, "ldDownload.exe");
    ASSERT_NE(nullptr, engine);
    EXPECT_EQ(files, engine->parent);
    EXPECT_EQ("1.0.3.7", Attribute(engine, "ver"));
    EXPECT_EQ("http://127.0.0.1:8080/get?name=ldDownload.7z&v=3", Attribute(engine, "url"));
    EXPECT_EQ("http://127.0.0.1:8080/ldDownload.7z.md4", Attribute(engine, "hash"));
    const XmlElement* config = CXMLParserOrvane::FindChild(files, "CONFIG.INI");
    ASSERT_NE(nullptr, config);
    EXPECT_EQ("", Attribute(config, "hash"));  // no hash list: the archive goes unchecked
    EXPECT_EQ(0u, CXMLParserOrvane::ChildCount(config));

    // Text, CDATA kept unescaped, and text placed after the CDATA section.
    const XmlElement* notes = CXMLParserOrvane::FindChild(root, "notes");
    ASSERT_NE(nullptr, notes);
    ASSERT_EQ(2u, notes->texts.Count());
    EXPECT_EQ("Release &lt;3&gt;", Str(notes->texts.At(0)->text));
    EXPECT_EQ("after", Str(notes->texts.At(1)->text));
    ASSERT_EQ(1u, notes->cdata.Count());
    EXPECT_EQ("<b>raw & kept</b>", Str(notes->cdata.At(0)->text));
    ovCString decoded;
    ASSERT_TRUE(XmlDecode(notes->texts.At(0)->text, decoded));
    EXPECT_EQ("Release <3>", Str(decoded));

    const XmlElement* entities = CXMLParserOrvane::FindChild(root, "entities");
    ASSERT_NE(nullptr, entities);
    EXPECT_EQ("& < > \" '", Attribute(entities, "named"));
    EXPECT_EQ("AA\xEA\xB0\x80", Attribute(entities, "numeric"));
    EXPECT_EQ("AT&T &c", Attribute(entities, "plain"));
    EXPECT_EQ("&amp; &lt; &gt; &quot; &apos;", Str(entities->attributes.At(0)->value));  // kept raw
}

TEST(XmlReader, LookupsFollowTheirCaseRulesAndRefuseNulls) {
    CXMLParserOrvane parser;
    parser.Parse("<?xml version=\"1.0\"?><r><file url=\"u\" Ver=\"1\"/><A&amp;B/></r>");
    const XmlElement* root = parser.Root();
    ASSERT_NE(nullptr, root);
    const XmlElement* file = CXMLParserOrvane::FindChild(root, "FILE");
    ASSERT_NE(nullptr, file);
    EXPECT_EQ("u", Attribute(file, "url"));
    EXPECT_EQ("", Attribute(file, "URL"));  // attribute names keep their case
    EXPECT_EQ("", Attribute(file, "ver"));
    EXPECT_EQ("1", Attribute(file, "Ver"));
    EXPECT_EQ("A&amp;amp;B", Str(root->children.At(1)->name));  // names are kept escaped
    EXPECT_EQ(root->children.At(1), CXMLParserOrvane::FindChild(root, "a&amp;b"));
    EXPECT_EQ(nullptr, CXMLParserOrvane::FindChild(root, "fil"));
    EXPECT_EQ(nullptr, CXMLParserOrvane::FindChild(root, "files"));

    char out[kXmlValueBuffer] = "stale";
    EXPECT_EQ(nullptr, CXMLParserOrvane::FindChild(nullptr, "file"));
    EXPECT_EQ(nullptr, CXMLParserOrvane::FindChild(root, nullptr));
    EXPECT_EQ(0u, CXMLParserOrvane::GetAttribute(nullptr, "url", out));
    EXPECT_STREQ("", out);
    EXPECT_EQ(0u, CXMLParserOrvane::GetAttribute(file, nullptr, out));
    EXPECT_EQ(0u, CXMLParserOrvane::GetAttribute(file, "url", nullptr));
    EXPECT_EQ(0u, CXMLParserOrvane::ChildCount(nullptr));
}

TEST(XmlReader, StatusAndRootForEachKindOfDocument) {
    struct Case {
        const char* text;
        int32_t status;
        const char* root;  // decoded name, null: no root
        uint32_t children;
    };
    const Case cases[] = {
        {nullptr, kXmlStatusOk, "root", 0},
        {"", kXmlStatusOk, "root", 0},
        {"<?xml version=\"1.0\"?><a></a>", kXmlStatusOk, "a", 0},
        {"<?xml version=\"1.0\"?>\n<a>\n <b/>\n <c></c>\n</a>\n", kXmlStatusOk, "a", 2},
        {"<a x=\"1\"/>", kXmlStatusNoDeclarationOrElement, "a", 0},
        {"<a><b/></a>", kXmlStatusNoDeclarationOrElement, "a", 1},
        {"<?xml version=\"1.0\"?>just text", kXmlStatusNoDeclarationOrElement, "root", 0},
        {"<?xml version=\"1.0\"?><!-- nothing else -->", kXmlStatusNoDeclarationOrElement, "root",
         0},
        {"plain text without markup", kXmlStatusNoDeclarationOrElement, "root", 0},
        {"<?xml version=\"1.0\"?><a><b></a>", kXmlStatusUnclosedElement, nullptr, 0},
        {"<?xml version=\"1.0\"?><a>", kXmlStatusUnclosedElement, nullptr, 0},
        {"<a><b>", kXmlStatusUnclosedElement, nullptr, 0},
        // Only a leading "<?xml" is the declaration: a later instruction is
        // not, and the root before it is read.
        {"<r><c/></r><?pi data?>", kXmlStatusNoDeclarationOrElement, "r", 1},
        // The first element is the root; later top-level ones are skipped.
        {"<?xml version=\"1.0\"?><a><x/></a><b><y/><z/></b>", kXmlStatusOk, "a", 1},
        {"<?xml version=\"1.0\"?><a/><b></b>", kXmlStatusOk, "a", 0},
        // A document type is skipped; so is an empty declaration-like tag.
        {"<?xml version=\"1.0\"?><!DOCTYPE r SYSTEM \"r.dtd\"><r><c/></r>", kXmlStatusOk, "r", 1},
        // Closing tags are counted, not matched by name.
        {"<?xml version=\"1.0\"?><r></x><c/></r>", kXmlStatusOk, "r", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        CXMLParserOrvane parser;
        const XmlDocument* document = parser.Parse(c.text);
        ASSERT_NE(nullptr, document);
        EXPECT_EQ(c.status, document->status);
        EXPECT_FALSE(document->declaration.text.IsEmpty());
        if (!c.root) {
            EXPECT_EQ(nullptr, parser.Root());
            continue;
        }
        ASSERT_NE(nullptr, parser.Root());
        EXPECT_EQ(c.root, DecodedName(parser.Root()));
        EXPECT_EQ(c.children, CXMLParserOrvane::ChildCount(parser.Root()));
    }
}

TEST(XmlReader, MissingDeclarationGetsTheDefaultAfterAByteOrderMark) {
    CXMLParserOrvane parser;
    parser.Parse("<a/>");
    EXPECT_EQ("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>",
              Str(parser.Document()->declaration.text));
    parser.Parse("");
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>",
              Str(parser.Document()->declaration.text));
}

TEST(XmlReader, TagsAttributesAndNodesAreReadAsWritten) {
    CXMLParserOrvane parser;
    parser.Parse(
        "<?xml version=\"1.0\"?>\n"
        "<r>one<a/>  two\t<b x=\"1>2\" y=\"a/b\"><c/></b>\n three \n"
        "<!-- a > b --><d\n   url = \"u\"\r\n   ver=\"7\"/>"
        "<e k=\"v\" broken k2=\"w\"/><f k=unquoted g=\"h\"/><g k=\"v\"/>"
        "<![CDATA[x]]>]]></r>");
    ASSERT_EQ(kXmlStatusOk, parser.Document()->status);
    const XmlElement* root = parser.Root();
    ASSERT_NE(nullptr, root);
    ASSERT_EQ(6u, CXMLParserOrvane::ChildCount(root));

    // Text nodes, trimmed, placed by the number of children before them.
    ASSERT_EQ(4u, root->texts.Count());
    const char* texts[] = {"one", "two", "three", "]]>"};
    const uint32_t positions[] = {0, 1, 2, 6};
    for (uint32_t i = 0; i < 4; ++i) {
        const XmlTextNode* node = root->texts.At(i);
        ASSERT_NE(nullptr, node);
        EXPECT_EQ(texts[i], Str(node->text));
        EXPECT_EQ(positions[i], node->position);
        EXPECT_EQ(root, node->owner);
    }
    ASSERT_EQ(1u, root->comments.Count());
    EXPECT_EQ(" a > b ", Str(root->comments.At(0)->text));
    EXPECT_EQ(2u, root->comments.At(0)->position);
    ASSERT_EQ(1u, root->cdata.Count());
    EXPECT_EQ("x", Str(root->cdata.At(0)->text));

    // '>' and '/' inside a quoted value end neither the tag nor the element.
    const XmlElement* b = CXMLParserOrvane::FindChild(root, "b");
    ASSERT_NE(nullptr, b);
    EXPECT_EQ("1>2", Attribute(b, "x"));
    EXPECT_EQ("a/b", Attribute(b, "y"));
    EXPECT_EQ(1u, CXMLParserOrvane::ChildCount(b));
    EXPECT_EQ(0u, b->texts.Count());

    // Attributes spread over lines, with blanks around '='.
    const XmlElement* d = CXMLParserOrvane::FindChild(root, "d");
    ASSERT_NE(nullptr, d);
    EXPECT_EQ("u", Attribute(d, "url"));
    EXPECT_EQ("7", Attribute(d, "ver"));

    // Attribute reading stops at the first attribute without '=' or without
    // its closing quote; a value without an opening quote runs to the next.
    const XmlElement* e = CXMLParserOrvane::FindChild(root, "e");
    ASSERT_NE(nullptr, e);
    ASSERT_EQ(2u, e->attributes.Count());
    EXPECT_EQ("broken k2", Str(e->attributes.At(1)->name));
    const XmlElement* f = CXMLParserOrvane::FindChild(root, "f");
    ASSERT_NE(nullptr, f);
    EXPECT_EQ("unquoted g=", Attribute(f, "k"));
    EXPECT_EQ(1u, f->attributes.Count());  // `h"` then has no '='

    // An empty-element tag: its attributes and no children.
    const XmlElement* g = CXMLParserOrvane::FindChild(root, "g");
    ASSERT_NE(nullptr, g);
    EXPECT_EQ("v", Attribute(g, "k"));
    EXPECT_EQ(1u, g->attributes.Count());
    EXPECT_EQ(0u, CXMLParserOrvane::ChildCount(g));
}

TEST(XmlReader, ManyChildrenAndAttributesKeepTheirOrder) {
    std::string text = "<?xml version=\"1.0\"?><r";
    for (int i = 0; i < 45; ++i)
        text += " a" + std::to_string(i) + "=\"" + std::to_string(i * 7) + "\"";
    text += ">";
    for (int i = 0; i < 45; ++i)
        text += "<c" + std::to_string(i) + "/>t" + std::to_string(i) + "<!--" + std::to_string(i) +
                "-->";
    text += "</r>";
    CXMLParserOrvane parser;
    parser.Parse(text.c_str());
    const XmlElement* root = parser.Root();
    ASSERT_NE(nullptr, root);
    ASSERT_EQ(45u, CXMLParserOrvane::ChildCount(root));
    ASSERT_EQ(45u, root->attributes.Count());
    ASSERT_EQ(45u, root->texts.Count());
    ASSERT_EQ(45u, root->comments.Count());
    EXPECT_EQ(60u, root->children.Capacity());  // 20, 40, 60
    EXPECT_EQ(45u, root->texts.Capacity());     // 10, 20, 30, 45
    EXPECT_EQ(60u, root->comments.Capacity());  // 4, 8, 12, 18, 27, 40, 60
    for (int i = 0; i < 45; ++i) {
        std::string n = std::to_string(i);
        EXPECT_EQ("c" + n, DecodedName(root->children.At(i)));
        EXPECT_EQ(std::to_string(i * 7), Attribute(root, ("a" + n).c_str()));
        EXPECT_EQ("t" + n, Str(root->texts.At(i)->text));
        EXPECT_EQ(static_cast<uint32_t>(i + 1), root->texts.At(i)->position);
    }
}

// Growth by a fixed step would copy a wide document's sibling array once per
// step; growing by half the size keeps the copies few.
TEST(XmlReader, ArraysGrowInFewSteps) {
    XmlOwnedArray<XmlTextNode> nodes(20, 20);
    uint32_t growths = 0;
    uint32_t capacity = 0;
    for (uint32_t i = 0; i < 200000; ++i) {
        ASSERT_TRUE(nodes.Add(new XmlTextNode));
        if (nodes.Capacity() != capacity) {
            capacity = nodes.Capacity();
            ++growths;
        }
    }
    EXPECT_LE(growths, 30u);
    EXPECT_LT(capacity, 300000u + 20u);

    std::string text = "<?xml version=\"1.0\"?><r>";
    for (int i = 0; i < 100000; ++i)
        text += "<a/>";
    text += "</r>";
    CXMLParserOrvane parser;
    EXPECT_EQ(kXmlStatusOk, parser.Parse(text.c_str())->status);
    EXPECT_EQ(100000u, CXMLParserOrvane::ChildCount(parser.Root()));
}

// An '&' that starts no reference is copied and decoding goes on after it.
TEST(XmlReader, DecodingEndsOnEveryAmpersand) {
    struct Case {
        const char* raw;
        const char* decoded;
    };
    const Case cases[] = {
        {"a &amp; b", "a & b"},
        {"&lt;&gt;&quot;&apos;&amp;amp;", "<>\"'&amp;"},
        {"&#65;&#x41;&#x4a;&#0066;", "AAJB"},
        {"&#xAC00;&#128;&#x10348;", "\xEA\xB0\x80\xC2\x80\xF0\x90\x8D\x88"},
        {"AT&T", "AT&T"},
        {"&", "&"},
        {"&&amp;&", "&&&"},
        {"&amp", "&amp"},
        {"&AMP;", "&AMP;"},
        {"&nbsp;", "&nbsp;"},
        {"&#;", "&#;"},
        {"&#x;", "&#x;"},
        {"&#65", "&#65"},
        {"&#6 5;", "&#6 5;"},
        {"&#X41;", "&#X41;"},
        {"&#0;", "&#0;"},
        {"&#xD800;", "&#xD800;"},
        {"&#x110000;", "&#x110000;"},
        {"&#99999999999999999999;", "&#99999999999999999999;"},
        {"&#", "&#"},
        {"&#x", "&#x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.raw);
        ovCString out;
        ASSERT_TRUE(XmlDecode(c.raw, static_cast<uint32_t>(strlen(c.raw)), out));
        EXPECT_EQ(c.decoded, Str(out));

        // And the same through an attribute of a parsed document.
        std::string text = std::string("<?xml version=\"1.0\"?><r v=\"") + c.raw + "\"/>";
        CXMLParserOrvane parser;
        parser.Parse(text.c_str());
        EXPECT_EQ(c.decoded, Attribute(parser.Root(), "v"));
    }
}

TEST(XmlReader, EscapingCoversTheFiveCharacters) {
    const char raw[] = "a&b&#1<>\"'";
    ovCString out;
    ASSERT_TRUE(XmlEscape(raw, static_cast<uint32_t>(strlen(raw)), out));
    EXPECT_EQ("a&amp;b&#1&lt;&gt;&quot;&apos;", Str(out));
    ovCString back;
    ASSERT_TRUE(XmlDecode(out, back));
    EXPECT_EQ("a&b&#1<>\"'", Str(back));
}

TEST(XmlReader, LongValuesAreCutToTheLookupBuffer) {
    std::string value(300, 'v');
    value[254] = 'x';
    value[255] = 'y';
    std::string text = "<?xml version=\"1.0\"?><r v=\"" + value + "\"/>";
    CXMLParserOrvane parser;
    parser.Parse(text.c_str());
    char out[kXmlValueBuffer + 8];
    memset(out, '#', sizeof out);
    EXPECT_EQ(255u, CXMLParserOrvane::GetAttribute(parser.Root(), "v", out));
    EXPECT_EQ('x', out[254]);
    EXPECT_EQ('\0', out[255]);
    EXPECT_EQ('#', out[256]);
    ovCString whole;
    ASSERT_TRUE(CXMLParserOrvane::GetAttribute(parser.Root(), "v", whole));
    EXPECT_EQ(value, Str(whole));
}

// Deep nesting stops at kXmlMaxDepth with a status, not with the stack.
TEST(XmlReader, NestingDepthIsBounded) {
    struct Case {
        uint32_t depth;
        int32_t status;
        uint32_t kept;
    };
    const Case cases[] = {
        {kXmlMaxDepth, kXmlStatusOk, kXmlMaxDepth},
        {kXmlMaxDepth + 1, kXmlStatusTooDeep, kXmlMaxDepth},
        {100000, kXmlStatusTooDeep, kXmlMaxDepth},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.depth);
        std::string text = "<?xml version=\"1.0\"?>";
        for (uint32_t i = 0; i < c.depth; ++i)
            text += "<a>";
        for (uint32_t i = 0; i < c.depth; ++i)
            text += "</a>";
        text += "<b/>";
        CXMLParserOrvane parser;
        EXPECT_EQ(c.status, parser.Parse(text.c_str())->status);
        uint32_t kept = 0;
        for (const XmlElement* e = parser.Root(); e; e = e->children.At(0))
            ++kept;
        EXPECT_EQ(c.kept, kept);
    }
}

// A text over kXmlMaxDocument is refused whole, however it is handed over.
TEST(XmlReader, DocumentSizeIsBounded) {
    std::string head = "<?xml version=\"1.0\"?><r>";
    std::string tail = "</r>";
    std::string text = head + std::string(kXmlMaxDocument - head.size() - tail.size(), 't') + tail;
    ASSERT_EQ(kXmlMaxDocument, text.size());
    CXMLParserOrvane parser;
    EXPECT_EQ(kXmlStatusOk, parser.Parse(text.c_str())->status);
    ASSERT_EQ(1u, parser.Root()->texts.Count());

    text.insert(head.size(), "t");
    const XmlDocument* document = parser.Parse(text.c_str());
    EXPECT_EQ(kXmlStatusTooLarge, document->status);
    EXPECT_EQ(nullptr, parser.Root());
    EXPECT_FALSE(document->declaration.text.IsEmpty());
    EXPECT_EQ(kXmlStatusTooLarge,
              parser.Parse(text.data(), static_cast<uint32_t>(text.size()))->status);
    // A zero byte ends the text before the bound.
    text[head.size()] = '\0';
    EXPECT_EQ(kXmlStatusUnclosedElement,
              parser.Parse(text.data(), static_cast<uint32_t>(text.size()))->status);
}

// Every prefix of the manifest and of short malformed texts, handed over
// without a terminator in a buffer of exactly its size: nothing is read past
// the end, every read ends with a status.
TEST(XmlReader, CutShortInputsAreNeverReadPastTheirEnd) {
    std::vector<std::string> texts = {
        kManifest, "<!---->",       "<!-->",        "<?>",
        "<?\?>",   "<![CDATA[",     "<![CDATA[]]>", "<r><![CDATA[x]]></r>",
        "<a x=\"", "<a x=\"1\" y=", "<a/",          "</",
        "<>",      "</>",           "<r>&#x",       "<r a=\"&#6\"/>",
        "<?xml",   "<?xml ?",       "<!DOCTYPE",
    };
    for (const std::string& text : texts) {
        for (size_t size = 0; size <= text.size(); ++size) {
            SCOPED_TRACE(text.substr(0, size));
            char* copy = static_cast<char*>(malloc(size ? size : 1));
            ASSERT_NE(nullptr, copy);
            memcpy(copy, text.data(), size);
            CXMLParserOrvane parser;
            const XmlDocument* document = parser.Parse(copy, static_cast<uint32_t>(size));
            ASSERT_NE(nullptr, document);
            EXPECT_GE(document->status, kXmlStatusOk);
            EXPECT_LE(document->status, kXmlStatusUnclosedElement);
            for (const XmlElement* e = parser.Root(); e; e = e->children.At(0)) {
                char out[kXmlValueBuffer];
                for (uint32_t i = 0; i < e->attributes.Count(); ++i)
                    CXMLParserOrvane::GetAttribute(e, e->attributes.At(i)->name.CStr(), out);
            }
            free(copy);
        }
    }
}

// Names and values of up to 3 bytes need no allocation, so the one long
// piece of each text is where the first allocation fails.
TEST(XmlReader, OutOfMemoryStopsTheReadWithoutLeaks) {
    const char* texts[] = {
        "<r><c>long text</c></r>",
        "<r><c long=\"x\"/></r>",
        "<r><c a=\"long value\"/></r>",
        "<r><!-- long comment --></r>",
        "<r><![CDATA[long]]></r>",
        "<long/>",
        "<r/>",  // the default declaration
        "<r><c/><d>text</d></r>",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        CXMLParserOrvane parser;
        const XmlDocument* document;
        {
            FailAllocations fail(1);
            document = parser.Parse(text);
        }
        ASSERT_NE(nullptr, document);
        EXPECT_EQ(kXmlStatusOutOfMemory, document->status);
        EXPECT_EQ(kXmlStatusNoDeclarationOrElement, parser.Parse(text)->status);
    }
}
