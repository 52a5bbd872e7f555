// The size of a bitmap handle, as the controls read it from the bitmap header.
#pragma once

#include <windows.h>

// Sets *width and *height and returns true; false (sizes 0) when `bitmap` is
// null or not a bitmap.
inline bool GetBitmapSize(HBITMAP bitmap, int* width, int* height) {
    BITMAP info = {};
    bool ok = bitmap != nullptr && ::GetObjectA(bitmap, sizeof info, &info) == sizeof info;
    *width = ok ? info.bmWidth : 0;
    *height = ok ? info.bmHeight : 0;
    return ok;
}
