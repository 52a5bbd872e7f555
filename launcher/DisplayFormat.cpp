#include "launcher/DisplayFormat.h"

#include <stdio.h>

#include "launcher/FileList.h"

namespace {

const char* const kSizeUnits[] = {"KB", "MB", "GB", "TB"};

// Scales `value` (at least 1024) down by 1024 until it is below 1024; false
// when it is 1024 TB or more. `unit` names the unit reached.
bool Scale(double* value, const char** unit) {
    for (const char* name : kSizeUnits) {
        *value /= 1024.0;
        if (*value < 1024.0) {
            *unit = name;
            return true;
        }
    }
    return false;
}

// "%0.f <bytes unit>" below 1024, else "%.2f <unit><suffix>"; `overflow` from
// 1024 TB on.
std::string FormatScaled(int64_t value, const char* suffix, const char* overflow) {
    char text[64];
    double x = (double)value;
    if (x < 1024.0) {
        snprintf(text, sizeof(text), "%0.f Bytes%s", x, suffix);
        return text;
    }
    const char* unit = nullptr;
    if (!Scale(&x, &unit))
        return overflow;
    snprintf(text, sizeof(text), "%.2f %s%s", x, unit, suffix);
    return text;
}

}  // namespace

std::string FormatSize(int64_t bytes) {
    return FormatScaled(bytes, "", "");
}

std::string FormatSpeed(int64_t bytesPerSecond) {
    static const char kZero[] = "0 Bytes/Sec";
    if (bytesPerSecond <= 0)
        return kZero;
    return FormatScaled(bytesPerSecond, "/Sec", kZero);
}

std::string FormatDuration(int64_t seconds) {
    // A time span's components: negative spans count down like positive ones.
    int64_t hours = (seconds / 3600) % 24;
    int64_t minutes = (seconds / 60) % 60;
    int64_t secs = seconds % 60;
    char text[32];
    snprintf(text, sizeof(text), "%02d:%02d:%02d", (int)hours, (int)minutes, (int)secs);
    return text;
}

bool FileLabelText(const std::vector<std::string>& urls, int32_t filesDone, int32_t fileNumber,
                   std::string* out) {
    if (filesDone < 0 || (size_t)filesDone >= urls.size())
        return false;
    std::string name = FileNameOfUrl(urls[(size_t)filesDone]);
    char prefix[48];
    snprintf(prefix, sizeof(prefix), "[%d/%d]", (int)fileNumber, (int)urls.size());
    *out = prefix + name;
    return true;
}
