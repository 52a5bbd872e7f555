// The folder an extraction writes below, as a complete path.
// Threads: any thread (the engine unpack's worker), no lock.
#pragma once

#include "sdk/support/zip/ZipReader.h"

// `folder` made absolute against the current folder of this moment and ended
// with a separator, so that an entry name appended to it stays inside and no
// later change of the current folder moves the files. False when `folder` is
// empty, the current folder cannot be read, or the path would not fit.
bool ComposeExtractFolder(const char* folder, char (&out)[kZipPathSize]);
