#include "tools/sfpublish/ManifestHashes.h"

#include <string.h>

#include <algorithm>
#include <set>
#include <vector>

#include "sdk/support/CXMLParserOrvane.h"
#include "sdk/support/XmlText.h"

namespace sfpublish {

namespace {

enum class Container { kNone, kAll, kFile };

struct Edit {
    size_t at;
    size_t remove;
    std::string insert;
};

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return text;
}

// The archive a URL names: its last part, without query or fragment.
std::string ArchiveOfUrl(const std::string& url) {
    std::string tail = url.substr(url.rfind('/') == std::string::npos ? 0 : url.rfind('/') + 1);
    return tail.substr(0, tail.find_first_of("?#"));
}

// The manifest text and where the scan stands.
class ManifestEditor {
  public:
    ManifestEditor(const std::string& text, const ArchiveDigests& digests)
        : m_text(text), m_digests(digests) {}

    bool Scan(std::string* error);
    std::string Result() const;
    const std::set<std::string>& Used() const { return m_used; }
    size_t Entries() const { return m_edits.size(); }

  private:
    bool Skip(size_t at, const char* open, const char* close, size_t* next, std::string* error);
    bool StartTag(size_t lt, size_t* next, std::string* error);
    bool Entry(const std::string& tag, size_t from, size_t limit, std::string* error);

    const std::string& m_text;
    const ArchiveDigests& m_digests;
    std::vector<Container> m_open;  // one per open element
    bool m_rootDone = false;
    bool m_allSeen = false, m_fileSeen = false, m_allEntrySeen = false;
    std::vector<Edit> m_edits;
    std::set<std::string> m_used;
};

bool ManifestEditor::Skip(size_t at, const char* open, const char* close, size_t* next,
                          std::string* error) {
    const size_t end = m_text.find(close, at + strlen(open));
    if (end == std::string::npos) {
        *error = std::string("manifest: '") + open + "' is never closed";
        return false;
    }
    *next = end + strlen(close);
    return true;
}

bool ManifestEditor::Scan(std::string* error) {
    size_t pos = 0;
    for (;;) {
        const size_t lt = m_text.find('<', pos);
        if (lt == std::string::npos)
            break;
        if (m_text.compare(lt, 4, "<!--") == 0) {
            if (!Skip(lt, "<!--", "-->", &pos, error))
                return false;
        } else if (m_text.compare(lt, 9, "<![CDATA[") == 0) {
            if (!Skip(lt, "<![CDATA[", "]]>", &pos, error))
                return false;
        } else if (m_text.compare(lt, 2, "<?") == 0) {
            if (!Skip(lt, "<?", "?>", &pos, error))
                return false;
        } else if (m_text.compare(lt, 2, "<!") == 0) {
            if (!Skip(lt, "<!", ">", &pos, error))
                return false;
        } else if (m_text.compare(lt, 2, "</") == 0) {
            const size_t gt = m_text.find('>', lt);
            if (gt == std::string::npos || m_open.empty()) {
                *error = "manifest: a closing tag does not match";
                return false;
            }
            m_open.pop_back();
            if (m_open.empty())
                m_rootDone = true;
            pos = gt + 1;
        } else if (!StartTag(lt, &pos, error)) {
            return false;
        }
    }
    if (!m_open.empty()) {
        *error = "manifest: an element is never closed";
        return false;
    }
    return true;
}

bool ManifestEditor::StartTag(size_t lt, size_t* next, std::string* error) {
    // The tag ends at the first '>' outside double quotes.
    size_t gt = lt + 1;
    bool quoted = false;
    while (gt < m_text.size() && (quoted || m_text[gt] != '>')) {
        if (m_text[gt] == '"')
            quoted = !quoted;
        ++gt;
    }
    if (gt >= m_text.size()) {
        *error = "manifest: a tag is never closed";
        return false;
    }
    size_t nameEnd = lt + 1;
    while (nameEnd < gt && !IsSpace(m_text[nameEnd]) && m_text[nameEnd] != '/' &&
           m_text[nameEnd] != '"')
        ++nameEnd;
    const std::string name = m_text.substr(lt + 1, nameEnd - lt - 1);
    if (name.empty()) {
        *error = "manifest: a tag without a name";
        return false;
    }
    const bool selfClosing = m_text[gt - 1] == '/';
    const size_t depth = m_open.size() + 1;
    Container kind = Container::kNone;
    if (!m_rootDone && depth == 2) {
        if (Lower(name) == "all" && !m_allSeen) {
            kind = Container::kAll;
            m_allSeen = true;
        } else if (Lower(name) == "file" && !m_fileSeen) {
            kind = Container::kFile;
            m_fileSeen = true;
        }
    }
    if (!m_rootDone && depth == 3) {
        bool entry = m_open.back() == Container::kFile;
        if (m_open.back() == Container::kAll && Lower(name) == "all" && !m_allEntrySeen) {
            m_allEntrySeen = true;
            entry = true;
        }
        if (entry && !Entry(name, nameEnd, selfClosing ? gt - 1 : gt, error))
            return false;
    }
    if (!selfClosing)
        m_open.push_back(kind);
    *next = gt + 1;
    return true;
}

bool ManifestEditor::Entry(const std::string& tag, size_t from, size_t limit, std::string* error) {
    size_t p = from;
    size_t lastEnd = from;
    bool haveUrl = false, haveSha = false;
    std::string url;
    size_t shaStart = 0, shaLength = 0;
    for (;;) {
        while (p < limit && IsSpace(m_text[p]))
            ++p;
        if (p >= limit)
            break;
        size_t q = p;
        while (q < limit && !IsSpace(m_text[q]) && m_text[q] != '=' && m_text[q] != '"' &&
               m_text[q] != '/')
            ++q;
        const std::string attribute = m_text.substr(p, q - p);
        p = q;
        while (p < limit && IsSpace(m_text[p]))
            ++p;
        if (attribute.empty() || p >= limit || m_text[p] != '=') {
            *error = "manifest: cannot read the attributes of <" + tag + ">";
            return false;
        }
        ++p;
        while (p < limit && IsSpace(m_text[p]))
            ++p;
        const size_t close = p < limit && m_text[p] == '"' ? m_text.find('"', p + 1) : limit;
        if (close >= limit) {
            *error = "manifest: cannot read the attributes of <" + tag + ">";
            return false;
        }
        const size_t valueStart = p + 1;
        if (attribute == "url" || attribute == "sha256") {
            bool& seen = attribute == "url" ? haveUrl : haveSha;
            if (seen) {
                *error = "manifest: <" + tag + "> has two '" + attribute + "' attributes";
                return false;
            }
            seen = true;
            if (attribute == "url") {
                ovCString decoded;
                if (!XmlDecode(m_text.data() + valueStart, (uint32_t)(close - valueStart),
                               decoded)) {
                    *error = "manifest: the url of <" + tag + "> cannot be read";
                    return false;
                }
                url.assign(decoded.CStr(), decoded.Length());
            } else {
                shaStart = valueStart;
                shaLength = close - valueStart;
            }
        }
        p = close + 1;
        lastEnd = p;
    }
    if (!haveUrl) {
        *error = "manifest: <" + tag + "> has no url";
        return false;
    }
    const std::string archive = ArchiveOfUrl(url);
    const auto digest = m_digests.find(archive);
    if (digest == m_digests.end()) {
        *error = "manifest: <" + tag + "> names the archive '" + archive + "', which was not given";
        return false;
    }
    m_used.insert(archive);
    if (haveSha)
        m_edits.push_back(Edit{shaStart, shaLength, digest->second});
    else
        m_edits.push_back(Edit{lastEnd, 0, " sha256=\"" + digest->second + "\""});
    return true;
}

std::string ManifestEditor::Result() const {
    std::string out = m_text;
    // Edits are in text order; applied from the back, offsets stay right.
    for (auto it = m_edits.rbegin(); it != m_edits.rend(); ++it)
        out.replace(it->at, it->remove, it->insert);
    return out;
}

// The library's own reading of the entry's url and sha256 must give the
// archive's digest.
bool EntryReadsBack(const XmlElement* entry, const ArchiveDigests& digests, size_t* count) {
    ovCString url, sha256;
    if (!CXMLParserOrvane::GetAttribute(entry, "url", url) ||
        !CXMLParserOrvane::GetAttribute(entry, "sha256", sha256))
        return false;
    const auto digest = digests.find(ArchiveOfUrl(std::string(url.CStr(), url.Length())));
    ++*count;
    return digest != digests.end() && digest->second == std::string(sha256.CStr(), sha256.Length());
}

}  // namespace

bool AddManifestHashes(const std::string& manifest, const ArchiveDigests& digests,
                       std::string* result, std::string* error) {
    if (manifest.size() > kXmlMaxDocument || memchr(manifest.data(), 0, manifest.size())) {
        *error = "manifest: larger than " + std::to_string(kXmlMaxDocument) +
                 " bytes or holds a zero byte";
        return false;
    }
    {
        CXMLParserOrvane reader;
        const XmlDocument* document = reader.Parse(manifest.data(), (uint32_t)manifest.size());
        if (!document || document->status > kXmlStatusNoDeclarationOrElement || !reader.Root()) {
            *error = "manifest: the library's reader does not read it cleanly";
            return false;
        }
    }
    ManifestEditor editor(manifest, digests);
    if (!editor.Scan(error))
        return false;
    if (editor.Entries() == 0) {
        *error = "manifest: no all or file entries";
        return false;
    }
    for (const auto& archive : digests) {
        if (!editor.Used().count(archive.first)) {
            *error = "manifest: no entry names the archive '" + archive.first + "'";
            return false;
        }
    }
    *result = editor.Result();

    CXMLParserOrvane reader;
    const XmlDocument* document = reader.Parse(result->data(), (uint32_t)result->size());
    const XmlElement* root = reader.Root();
    bool ok = document && document->status <= kXmlStatusNoDeclarationOrElement && root;
    size_t checked = 0;
    const XmlElement* all =
        ok ? CXMLParserOrvane::FindChild(CXMLParserOrvane::FindChild(root, "all"), "all") : nullptr;
    if (all)
        ok = EntryReadsBack(all, digests, &checked);
    const XmlElement* files = ok ? CXMLParserOrvane::FindChild(root, "file") : nullptr;
    for (uint32_t i = 0; ok && files && i < files->children.Count(); ++i)
        ok = EntryReadsBack(files->children.At(i), digests, &checked);
    if (!ok || checked != editor.Entries()) {
        *error = "manifest: markup this tool does not follow (the result did not read back)";
        return false;
    }
    return true;
}

}  // namespace sfpublish
