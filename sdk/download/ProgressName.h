// The current file's name in a progress record (SwarmFetchProgress::
// currentName), as both downloaders fill it: its first kProgressNameMax bytes,
// then the terminator. Constants only: any thread, no lock.
#pragma once

#include <stddef.h>

#include "sdk/api/SwarmFetch.h"

const size_t kProgressNameMax = SF_PROGRESS_NAME_SIZE - 1;
