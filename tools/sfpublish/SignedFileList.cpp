#include "tools/sfpublish/SignedFileList.h"

#include <string.h>

#include <algorithm>
#include <set>
#include <system_error>

#include "launcher/FileList.h"
#include "sdk/download/CDataDownloadSession.h"
#include "sdk/support/PathComponent.h"
#include "tools/sfpublish/ToolFiles.h"

namespace sfpublish {

namespace fs = std::filesystem;

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return text;
}

bool AddFile(const fs::path& path, std::vector<ListedFile>* files, std::set<std::string>* seen,
             std::string* error) {
    ListedFile file;
    file.path = path;
    file.name = path.filename().u8string();
    std::string why;
    if (!IsListableName(file.name, &why)) {
        *error = Shown(path) + ": name cannot be listed (" + why + ")";
        return false;
    }
    if (!seen->insert(Lower(file.name)).second) {
        *error = Shown(path) + ": a file named '" + file.name + "' is listed already";
        return false;
    }
    files->push_back(file);
    return true;
}

}  // namespace

bool TakeBaseUrl(const std::string& text, std::string* base, std::string* error) {
    std::string url = text;
    while (!url.empty() && url.back() == '/')
        url.pop_back();
    size_t host = 0;
    if (StartsWith(url, "http://"))
        host = 7;
    else if (StartsWith(url, "https://"))
        host = 8;
    if (host == 0 || url.size() <= host || url[host] == '/') {
        *error = "--base-url must be http:// or https:// followed by a host";
        return false;
    }
    for (unsigned char c : url) {
        if (c <= 0x20 || c >= 0x7F || c == '|' || c == '#' || c == '?') {
            *error =
                "--base-url holds a byte a list line cannot carry (white space, control, "
                "non-ASCII, '|', '#' or '?')";
            return false;
        }
    }
    *base = url;
    return true;
}

bool IsListableName(const std::string& name, std::string* why) {
    if (!PathComponentIsSafe(name.data(), name.size())) {
        *why = "the library refuses it as a file name";
        return false;
    }
    for (unsigned char c : name) {
        if (c >= 0x80) {
            *why = "not ASCII";
            return false;
        }
        if (c == '#' || c == '%' || c == ' ' || c == '\t') {
            *why = "'#', '%' and white space would need escaping";
            return false;
        }
    }
    return true;
}

bool CollectFiles(const std::vector<std::string>& arguments, std::vector<ListedFile>* files,
                  std::string* error) {
    std::set<std::string> seen;
    for (const std::string& argument : arguments) {
        const fs::path path(argument);
        std::error_code ec;
        if (fs::is_directory(path, ec)) {
            std::vector<fs::path> inside;
            for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
                std::error_code typeError;
                if (it->is_regular_file(typeError))
                    inside.push_back(it->path());
            }
            if (ec) {
                *error = argument + ": cannot be read (" + ec.message() + ")";
                return false;
            }
            std::sort(inside.begin(), inside.end(), [](const fs::path& a, const fs::path& b) {
                return a.filename().u8string() < b.filename().u8string();
            });
            for (const fs::path& file : inside)
                if (!AddFile(file, files, &seen, error))
                    return false;
        } else if (fs::is_regular_file(path, ec)) {
            if (!AddFile(path, files, &seen, error))
                return false;
        } else {
            *error = argument + ": no such file or folder";
            return false;
        }
    }
    if (files->empty()) {
        *error = "no files to list";
        return false;
    }
    return true;
}

bool BuildFileList(const std::string& base, const std::vector<ListedFile>& files, std::string* text,
                   std::string* error) {
    text->clear();
    for (const ListedFile& file : files) {
        std::string sha256;
        uint64_t size = 0;
        if (!HashFile(file.path, &sha256, &size, error))
            return false;
        const std::string line = base + "/" + file.name + "#sha256=" + sha256 +
                                 "&size=" + std::to_string(size) +
                                 (file.btih.empty() ? "" : "&btih=" + file.btih);
        if (line.size() >= kFileListLineMax) {
            *error = Shown(file.path) + ": its line would be " + std::to_string(line.size()) +
                     " bytes; the launcher reads lines below " + std::to_string(kFileListLineMax);
            return false;
        }
        text->append(line);
        text->append("\r\n");
        if ((int64_t)text->size() > CDataDownloadSession::kMaxDataSize) {
            *error = "the list would be larger than the library fetches (" +
                     std::to_string(CDataDownloadSession::kMaxDataSize) + " bytes)";
            return false;
        }
    }
    // The launcher must read back exactly the lines written.
    const FileListParse parsed = ParseFileList(text->data(), text->size());
    if (parsed.urls.size() != files.size() || parsed.overlongLines != 0) {
        *error = "the list does not read back as written";
        return false;
    }
    return true;
}

}  // namespace sfpublish
