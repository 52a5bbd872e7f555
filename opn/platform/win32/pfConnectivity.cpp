#include "opn/platform/pfConnectivity.h"

#include <windows.h>
#include <wininet.h>

bool PfInternetConnected() {
    DWORD flags = 0;
    return InternetGetConnectedState(&flags, 0) != FALSE;
}
