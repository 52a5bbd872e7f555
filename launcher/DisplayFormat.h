// The texts of the progress display: sizes, speeds, durations and the
// current-file label. All ASCII.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// "1023 Bytes", "1.00 KB" ... "%.2f TB"; empty from 1024 TB on. Negative
// values stay in bytes.
std::string FormatSize(int64_t bytes);
// "0 Bytes/Sec" for 0 or less and from 1024 TB/s on; else like FormatSize
// with "/Sec".
std::string FormatSpeed(int64_t bytesPerSecond);
// "HH:MM:SS" of a time span: hours modulo 24, so a whole day reads 00:00:00.
std::string FormatDuration(int64_t seconds);
// "[number/count]name" for the file after the `filesDone` completed ones;
// false (label unchanged) once every file is done.
bool FileLabelText(const std::vector<std::string>& urls, int32_t filesDone, int32_t fileNumber,
                   std::string* out);
