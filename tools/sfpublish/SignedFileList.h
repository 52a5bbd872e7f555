// The text of a signed file list: one line per file, its URL (the base URL,
// '/', the file's name) followed by "#sha256=<64 hex digits>&size=<bytes>",
// then "&btih=<hex>" when the file has a torrent (TorrentWriter.h), each
// line ended by CR LF, in the order the files were given.
//
// A file's name goes into the URL byte for byte, because the library saves
// a download under its URL's last part as it stands. So names that a URL
// would have to escape, or that the library refuses, are refused here:
// anything the library's name rule refuses, '#', '%', white space and bytes
// above 0x7F (the launcher reads the list in code page 949).
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

namespace sfpublish {

struct ListedFile {
    std::filesystem::path path;
    std::string name;  // the URL's last part
    std::string btih;  // its torrent's info-hash in hex; empty without one
};

// Checks the base URL ("http://" or "https://", a host, no white space or
// control bytes, no '|', '#', '?'); trailing '/' are dropped.
bool TakeBaseUrl(const std::string& text, std::string* base, std::string* error);

// Whether the name can stand in a list line as it is.
bool IsListableName(const std::string& name, std::string* why);

// The files of the arguments in order: a folder gives its regular files
// sorted by name (sub-folders are not entered), a file itself. Two files of
// the same name (letter case ignored, as on Windows) are refused.
bool CollectFiles(const std::vector<std::string>& arguments, std::vector<ListedFile>* files,
                  std::string* error);

// Hashes each file and writes the list text. Every line stays below the
// launcher's line limit and the whole list below what the library fetches.
bool BuildFileList(const std::string& base, const std::vector<ListedFile>& files, std::string* text,
                   std::string* error);

}  // namespace sfpublish
