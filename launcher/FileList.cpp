#include "launcher/FileList.h"

#include <string.h>

#include <new>

#include "launcher/FolderRules.h"
#include "sdk/support/ExpectedContent.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

void TakeLine(const char* begin, size_t length, FileListParse* out) {
    if (length >= kFileListLineMax) {
        ++out->overlongLines;
        return;
    }
    while (length > 0 && IsBlank(begin[0])) {
        ++begin;
        --length;
    }
    while (length > 0 && IsBlank(begin[length - 1]))
        --length;
    try {
        out->urls.emplace_back(begin, length);
    } catch (const std::bad_alloc&) {
        out->outOfMemory = true;
    }
}

}  // namespace

FileListParse ParseFileList(const char* data, size_t size) {
    FileListParse out;
    if (!data)
        return out;
    size_t start = 0;
    for (size_t i = 0; i < size && !out.outOfMemory; ++i) {
        if (data[i] != '\n')
            continue;
        size_t end = i;
        if (end > start && data[end - 1] == '\r')
            --end;
        if (end > start)
            TakeLine(data + start, end - start, &out);
        start = i + 1;
    }
    if (size - start > 2 && !out.outOfMemory)
        TakeLine(data + start, size - start, &out);
    return out;
}

std::string FileNameOfUrl(const std::string& url) {
    // Every mirror must give the same name; the library checks that.
    const size_t bar = url.rfind('|');
    const size_t begin = bar == std::string::npos ? 0 : bar + 1;
    const size_t hash = url.find('#', begin);
    const size_t end = hash == std::string::npos ? url.size() : hash;
    const std::string mirror = url.substr(begin, end - begin);
    const size_t slash = mirror.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return mirror.substr(slash + 1);
}

size_t LongestFileName(const std::vector<std::string>& urls) {
    size_t longest = 0;
    for (const std::string& url : urls) {
        size_t length = FileNameOfUrl(url).size() + kPartFileReserve;
        if (length > longest)
            longest = length;
    }
    return longest;
}

bool IsRunFile(size_t urlCount, const char* path) {
    if (urlCount == 1)
        return true;
    if (!path || !*path)
        return false;
    const char* dot = strrchr(path, '.');
    if (!dot)
        return false;
    static const char kExe[] = ".exe";
    for (size_t i = 0; i < sizeof(kExe); ++i) {
        char c = dot[i];
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
        if (c != kExe[i])
            return false;
    }
    return true;
}

size_t FirstUnhashedLine(const std::vector<std::string>& urls) {
    for (size_t i = 0; i < urls.size(); ++i) {
        ExpectedContent content;
        if (!ReadUrlListContent(urls[i].c_str(), &content) || !content.hasSha256)
            return i;
    }
    return urls.size();
}

bool RunFileContent(const std::vector<std::string>& urls, const std::string& path, bool keyInForce,
                    ExpectedContent* out) {
    *out = ExpectedContent();
    const size_t separator = path.find_last_of("\\/");
    const std::string name = separator == std::string::npos ? path : path.substr(separator + 1);
    for (const std::string& url : urls) {
        if (name.empty() || !SameFolderText(FileNameOfUrl(url), name))
            continue;
        ExpectedContent content;
        if (!ReadUrlListContent(url.c_str(), &content))
            return false;
        if (!content.hasSha256)
            continue;
        // The library refuses a second file of the same name; two lines that
        // still name it must not leave a choice.
        if (out->hasSha256 && (memcmp(out->sha256, content.sha256, sizeof(content.sha256)) != 0 ||
                               out->size != content.size))
            return false;
        *out = content;
    }
    return out->hasSha256 || !keyInForce;
}

int64_t ListedFileSize(const std::string& urls) {
    ExpectedContent content;
    if (!ReadUrlListContent(urls.c_str(), &content) || !content.hasSha256)
        return -1;
    return content.size;
}
