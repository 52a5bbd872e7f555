// Where the program's resources (dialog templates, bitmaps, GIF) live.
#pragma once

#include <windows.h>

// The module that holds the resources: the executable itself.
inline HINSTANCE ResourceInstance() {
    return ::GetModuleHandleA(nullptr);
}
