// Scratch folders and app-data redirection for the service-log and
// engine-path tests.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "opn/platform/pfShellFolders.h"
#include "sdk/support/ServiceLog.h"

namespace supporttest {

// A fresh folder below SF_TEST_TMP_DIR (or the system's temporary folder),
// removed with everything in it at the end. Win() gives the library's
// Windows-form path, Native() the path for the test's own file calls.
class TempFolder {
  public:
    TempFolder() {
        std::error_code ec;
        const char* env = getenv("SF_TEST_TMP_DIR");
#ifdef _WIN32
        std::string base;
        if (env && env[0]) {
            base = env;
            // ctest hands over a POSIX path; Wine shows "/" as drive Z:.
            if (base[0] == '/')
                base = "Z:" + base;
            for (char& c : base)
                if (c == '/')
                    c = '\\';
        } else {
            char tmp[MAX_PATH + 1] = {0};
            DWORD n = GetTempPathA(MAX_PATH, tmp);
            base.assign(tmp, n);
        }
        while (!base.empty() && base.back() == '\\')
            base.pop_back();
        std::filesystem::create_directories(base, ec);
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 100 && m_win.empty(); ++attempt) {
            char name[96];
            snprintf(name, sizeof name, "\\support-%lu-%u-%llu",
                     (unsigned long)GetCurrentProcessId(), counter.fetch_add(1),
                     (unsigned long long)GetTickCount64());
            std::string candidate = base + name;
            if (CreateDirectoryA(candidate.c_str(), nullptr))
                m_win = candidate;
        }
        m_native = m_win;
#else
        std::string base = env && env[0] ? env : "/tmp";
        while (base.size() > 1 && base.back() == '/')
            base.pop_back();
        std::filesystem::create_directories(base, ec);
        std::string pattern = base + "/support-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data())) {
            m_native = buffer.data();
            m_win = "Z:" + m_native;
            for (char& c : m_win)
                if (c == '/')
                    c = '\\';
        }
#endif
    }
    ~TempFolder() {
        if (m_native.empty())
            return;
        std::error_code ec;
        std::filesystem::remove_all(m_native, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    bool Ok() const {
        return !m_win.empty();
    }

    // `relative` uses backslashes.
    std::string Win(const std::string& relative = "") const {
        return relative.empty() ? m_win : m_win + "\\" + relative;
    }
    std::string Native(const std::string& relative = "") const {
        if (relative.empty())
            return m_native;
        std::string rel = relative;
#ifndef _WIN32
        for (char& c : rel)
            if (c == '\\')
                c = '/';
        return m_native + "/" + rel;
#else
        return m_native + "\\" + rel;
#endif
    }

  private:
    std::string m_win;
    std::string m_native;
};

// Points the application-data folder at `winFolder` for the life of the
// object: on POSIX through XDG_DATA_HOME (the real lookup), on Windows through
// the test override (SHGetSpecialFolderPathA cannot be redirected). The log
// path is forgotten on both ends, so each test computes its own.
class AppDataRedirect {
  public:
    AppDataRedirect(const std::string& winFolder, const std::string& nativeFolder) {
        Save();
#ifdef _WIN32
        (void)nativeFolder;
        ShellSetAppDataFolderForTesting(winFolder.c_str());
#else
        (void)winFolder;
        ShellSetAppDataFolderForTesting(nullptr);
        setenv("XDG_DATA_HOME", nativeFolder.c_str(), 1);
#endif
        LogResetPathForTesting();
    }
    ~AppDataRedirect() {
        ShellSetAppDataFolderForTesting(nullptr);
#ifndef _WIN32
        Restore("XDG_DATA_HOME", m_hadXdg, m_xdg);
        Restore("HOME", m_hadHome, m_home);
#endif
        LogResetPathForTesting();
    }
    AppDataRedirect(const AppDataRedirect&) = delete;
    AppDataRedirect& operator=(const AppDataRedirect&) = delete;

  private:
    void Save() {
#ifndef _WIN32
        const char* xdg = getenv("XDG_DATA_HOME");
        const char* home = getenv("HOME");
        m_hadXdg = xdg != nullptr;
        m_xdg = xdg ? xdg : "";
        m_hadHome = home != nullptr;
        m_home = home ? home : "";
#endif
    }
#ifndef _WIN32
    static void Restore(const char* name, bool had, const std::string& value) {
        if (had)
            setenv(name, value.c_str(), 1);
        else
            unsetenv(name);
    }
    bool m_hadXdg = false;
    bool m_hadHome = false;
    std::string m_xdg;
    std::string m_home;
#endif
};

// Whole file as text; `ok` false when it cannot be opened.
inline std::string ReadWholeFile(const std::string& nativePath, bool* ok = nullptr) {
    std::string bytes;
    FILE* f = fopen(nativePath.c_str(), "rb");
    if (ok)
        *ok = f != nullptr;
    if (!f)
        return bytes;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.append(chunk, n);
    fclose(f);
    return bytes;
}

inline bool PathExists(const std::string& nativePath) {
    std::error_code ec;
    return std::filesystem::exists(nativePath, ec);
}

inline bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace supporttest
