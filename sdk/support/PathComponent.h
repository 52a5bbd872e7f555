// The one rule for a name that comes from outside and becomes part of a
// path: a file name from a file list, a mirror list, a host or the engine,
// and each part of a zip or 7z entry name. Names are narrow strings in the
// system code page.
#pragma once

#include <stddef.h>

// A file is written under its name plus this suffix until it is complete.
const char kPartFileSuffix[] = ".part";
const size_t kPartFileSuffixLength = sizeof kPartFileSuffix - 1;

// True when the `length` bytes at `part` can stand as one component of a
// Windows path and name a plain file or folder right inside the folder they
// are appended to. Refused:
// - an empty part, "." and ".." (and any part ending in a dot or a space,
//   which Windows drops, so "x." would be "x" and ". ." a parent step);
// - '\' and '/' (a second component), ':' (a drive or a stream);
// - control bytes (below 0x20, and 0x7F) and < > " | ? *;
// - the device names CON, PRN, AUX, NUL, COM0-COM9, LPT0-LPT9, CONIN$ and
//   CONOUT$ in any letter case, alone or before an extension ("nul.txt",
//   "Com1 .log"), which Windows opens as devices wherever they stand; COM
//   and LPT also with a superscript 1, 2 or 3 of the system code page,
//   which Windows counts as digits there.
// - a part that ends in the lead byte of a double-byte character, whose
//   missing half Windows reads as a space (and then drops);
// - a part that ends in kPartFileSuffix (letter case ignored): that name is
//   where the file of the part without it is written until it is complete,
//   so a file of such a name would be overwritten, or deleted as a stale
//   partial file, by its neighbour's download.
// The refused bytes are judged one by one: bytes 0x80 and above pass
// (double-byte names of the system code page; no CP949 trail byte is one of
// the refused ones). Length limits are the caller's: they depend on the
// folder.
bool PathComponentIsSafe(const char* part, size_t length);
