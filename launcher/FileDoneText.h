// The text of a completed file as the library reports it: the file's URL
// list, a comma, and the file's local path ("<URL list>,<folder><name>").
#pragma once

#include <string>

// The local path in `text` of a file downloaded into `folder` (the folder the
// launcher gave the library; '/' and '\' count alike, letter case aside).
// Commas may stand anywhere in the URL list, the folder and the name: the
// path is found from the end, as the file name after the text's last
// separator with `folder` right before it and a comma before that. "" when
// the text names no file directly inside `folder` (a name ending in a dot or
// a space, "." and ".." among them, names none).
std::string FileDonePath(const std::string& text, const std::string& folder);
