// The engine stand-ins of the update tests: programs of the build tree (their
// paths as this program's file calls take them) put where the library
// looks for the engine below a scratch application-data folder.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "unit/SupportTestEnv.h"

namespace sftest {

// The engine executable below the application-data folder.
const char kEngineRelative[] = "Ludra\\ldDownloader\\ldDownload.exe";

// A build-tree path (POSIX form) as seen by this program: Wine shows the
// POSIX root as drive Z:.
inline std::string BuildTreeProgram(const char* posixPath) {
    std::string path = posixPath;
#ifdef _WIN32
    path = "Z:" + path;
    for (char& c : path)
        if (c == '/')
            c = '\\';
#endif
    return path;
}

// Copies the build-tree program `posixPath` to the engine's place below
// `appData`.
inline void InstallEngineProgram(const supporttest::TempFolder& appData, const char* posixPath) {
    const std::string target = appData.Native(kEngineRelative);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(target).parent_path(), ec);
    std::filesystem::copy_file(BuildTreeProgram(posixPath), target,
                               std::filesystem::copy_options::overwrite_existing, ec);
    ASSERT_FALSE(ec) << ec.message();
}

}  // namespace sftest
