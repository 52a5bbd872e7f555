// The publisher's file list: plain text, one file per line, each line one URL
// or several mirror URLs of the same file separated by '|'.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct ExpectedContent;

// Lines of this many bytes or more are not URLs.
const size_t kFileListLineMax = 1024;

struct FileListParse {
    std::vector<std::string> urls;  // one URL list per taken line, in order
    int overlongLines = 0;          // taken lines of kFileListLineMax bytes or more
    bool outOfMemory = false;       // the lines did not fit in memory: `urls` is cut short
};

// Splits at LF and at CR LF (a lone CR stays part of the line). A line ended
// by a line break is taken when it is not empty; the text after the last
// break only when it is longer than 2 bytes. Taken lines are trimmed of white space at both ends; a
// line of white space gives an empty URL list.
FileListParse ParseFileList(const char* data, size_t size);

// While a file downloads, the library writes it under its name plus ".part";
// that path is held to the library's path limit too.
const size_t kPartFileReserve = 5;

// The file name a URL (list) gives: in its last mirror, the text after the
// last '/' before the fragment ('#' and what follows, which is no part of the
// name); empty when there is none.
std::string FileNameOfUrl(const std::string& url);

// The longest name a file of the URLs takes on disk: the longest
// FileNameOfUrl plus kPartFileReserve (0 for no URLs).
size_t LongestFileName(const std::vector<std::string>& urls);

// Whether a completed file is the installer to offer at the end: any file
// when the list names exactly one; otherwise a path ending in ".exe" (letter
// case ignored).
bool IsRunFile(size_t urlCount, const char* path);

// Built with a publisher key, a signed list is taken only when every line
// names its file's content: a fragment with a sha256 that the library takes
// (in any mirror; mirrors that carry one agree). Returns the index of the
// first line that does not, or urls.size() when every line does.
size_t FirstUnhashedLine(const std::vector<std::string>& urls);

// What the installer at `path` (a file of the download folder) must hold
// before it runs: what the lines naming its file (letter case aside) say.
// `out->hasSha256` false: nothing to check. False when it cannot be told:
// lines naming it disagree or carry a bad fragment, or, with a key in force,
// no line naming it carries a hash.
bool RunFileContent(const std::vector<std::string>& urls, const std::string& path, bool keyInForce,
                    ExpectedContent* out);

// The size a line names in its fragment (`&size=` beside a sha256), or -1
// when it names none or its fragment is bad. Such a file needs no size
// request: the library holds its download to that size.
int64_t ListedFileSize(const std::string& urls);
