// Reading a VS_VERSIONINFO block held in memory, the layout Windows keeps in
// a program's version resource:
//
//   node:  uint16 length (of the node, children included), uint16 value
//          length (bytes for binary values, UTF-16 units for text), uint16
//          type (1 text, 0 binary), the key (UTF-16, zero-terminated), padding
//          to 32 bits, the value, padding to 32 bits, the children.
//   VS_VERSION_INFO (fixed file info, signature 0xFEEF04BD)
//     StringFileInfo
//       "<lang><codepage>" (eight hex digits), e.g. "041204B0"
//         FileVersion, ProductVersion, ... (text values)
//     VarFileInfo
//       Translation (pairs of uint16 language, uint16 code page)
//
// Padding is counted from the start of the block. Every read is checked
// against the node that holds it and the node against the block, and the
// block against the memory given, so hostile bytes can neither make a read
// leave the memory nor loop: each node is visited at most once and a node
// shorter than its header ends the walk of its level.
#pragma once

#include <stddef.h>
#include <stdint.h>

class ovCString;

// Fixed file info signature that follows the root key.
const uint32_t kVersionSignature = 0xFEEF04BD;

// The FileVersion text of the block at `data` (`size` bytes available,
// the block's own length may be shorter), as Windows' version query finds
// it: the string table named by the translation when the translation holds
// exactly one pair, else the table "<defaultLang>04B0". Key names compare
// without regard to case. The UTF-16 text is converted to the system code
// page. False with `out` empty when the block is not a version block or the
// value is missing.
bool VersionBlockFileVersion(const uint8_t* data, size_t size, uint16_t defaultLang,
                             ovCString& out);

// Searches `size` bytes for a version block (its UTF-16 key at an offset of
// 6 after the block's start) and reads FileVersion from the first one that
// yields it; at most kVersionBlockMaxCandidates places are tried.
bool FindVersionBlockFileVersion(const uint8_t* data, size_t size, uint16_t defaultLang,
                                 ovCString& out);
const int kVersionBlockMaxCandidates = 64;
