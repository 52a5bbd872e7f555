#include "launcher/ListSerial.h"

#include <windows.h>

const char kListSerialValue[] = "FileListSerial";

std::string ListSerialKey(const std::string& game) {
    return "Software\\Orvane Inc.\\" + game;
}

int64_t SeenListSerial(const std::string& game) {
    int64_t serial = 0;
    DWORD size = sizeof serial;
    if (RegGetValueA(HKEY_CURRENT_USER, ListSerialKey(game).c_str(), kListSerialValue,
                     RRF_RT_REG_QWORD, nullptr, &serial, &size) != ERROR_SUCCESS ||
        size != sizeof serial || serial < 0)
        return 0;
    return serial;
}

bool StoreListSerial(const std::string& game, int64_t serial) {
    if (serial <= SeenListSerial(game))
        return true;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, ListSerialKey(game).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    const LONG written = RegSetValueExA(key, kListSerialValue, 0, REG_QWORD,
                                        reinterpret_cast<const BYTE*>(&serial), sizeof serial);
    RegCloseKey(key);
    return written == ERROR_SUCCESS;
}
