#include "opn/platform/pfHostWindow.h"

bool PfPostHostMessage(void* window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    // No window system: the host is told through its callback only.
    (void)window;
    (void)message;
    (void)wparam;
    (void)lparam;
    return false;
}
