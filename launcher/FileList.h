// The publisher's file list: plain text, one file per line, each line one URL
// or several mirror URLs of the same file separated by '|'.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

// Lines of this many bytes or more are not URLs.
const size_t kFileListLineMax = 1024;

struct FileListParse {
    std::vector<std::string> urls;  // one URL list per taken line, in order
    int overlongLines = 0;          // taken lines of kFileListLineMax bytes or more
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
