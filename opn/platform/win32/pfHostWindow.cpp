#include "opn/platform/pfHostWindow.h"

#include <windows.h>

bool PfPostHostMessage(void* window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (!window)
        return false;
    return PostMessageA(static_cast<HWND>(window), message, (WPARAM)wparam, (LPARAM)lparam) != 0;
}
