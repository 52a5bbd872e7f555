// One launcher per file list: a named mutex, and the first launcher's window
// found by its title.
#pragma once

#include <string>

// Mutex names are kept within this many characters.
const size_t kInstanceNameMax = 260;

// "ZVTDownloadV3::" followed by the file-list URL, cut to kInstanceNameMax.
std::string InstanceMutexName(const std::string& fileListUrl);
