#include "launcher/FileDoneText.h"

#include "launcher/FolderRules.h"

namespace {

// The folder in the library's form: backslashes only, one at the end.
std::string LibraryFolder(const std::string& folder) {
    std::string text = folder;
    for (char& c : text)
        if (c == '/')
            c = '\\';
    return WithTrailingBackslash(text);
}

}  // namespace

std::string FileDonePath(const std::string& text, const std::string& folder) {
    if (folder.empty())
        return std::string();
    // Neither separator is ever the trail byte of a double-byte character.
    const size_t lastSeparator = text.find_last_of("\\/");
    if (lastSeparator == std::string::npos || lastSeparator + 1 == text.size())
        return std::string();
    // Windows keeps no name that ends in a dot or a space ("..", "a.exe.").
    if (text.back() == '.' || text.back() == ' ')
        return std::string();
    const std::string expected = LibraryFolder(folder);
    const size_t nameStart = lastSeparator + 1;
    if (nameStart < expected.size() + 1)
        return std::string();
    const size_t pathStart = nameStart - expected.size();
    if (text[pathStart - 1] != ',' ||
        !SameFolderText(LibraryFolder(text.substr(pathStart, expected.size())), expected))
        return std::string();
    return text.substr(pathStart);
}
