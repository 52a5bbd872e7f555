// Messages to the host application's own window (the library's events).
#pragma once

#include <stdint.h>

// Windows: PostMessageA to `window`, an HWND of the host; false when it
// cannot be posted (no such window). POSIX: there is no window system, the
// handle is an opaque value of the host and nothing is posted (false).
bool PfPostHostMessage(void* window, uint32_t message, uintptr_t wparam, intptr_t lparam);
