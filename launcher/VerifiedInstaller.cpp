#include "launcher/VerifiedInstaller.h"

#include <shellapi.h>

#include <vector>

#include "sdk/support/ExpectedContent.h"
#include "sdk/support/Sha256Stream.h"

namespace {

const DWORD kReadChunk = 256 * 1024;
// ERROR_ELEVATION_REQUIRED (not in every SDK's headers).
const DWORD kElevationRequired = 740;
// An ended process is waited for this long before the launcher goes on.
const DWORD kTerminateWaitMs = 5000;

std::function<void()> g_checkedHook;

// Reads the held file from its start: its bytes must be the expected ones.
bool HeldHasContent(HANDLE file, const ExpectedContent& expected) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || (expected.size >= 0 && size.QuadPart != expected.size))
        return false;
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return false;
    Sha256Stream hash;
    if (!hash.Reset())
        return false;
    std::vector<char> chunk(kReadChunk);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk.data(), kReadChunk, &got, nullptr))
            return false;
        if (got == 0)
            break;
        if (!hash.Add(chunk.data(), got))
            return false;
    }
    uint8_t digest[kSha256Size];
    return hash.Bytes() == size.QuadPart && hash.Finish(digest) &&
           memcmp(digest, expected.sha256, kSha256Size) == 0;
}

bool FileIdentity(HANDLE file, BY_HANDLE_FILE_INFORMATION* out) {
    return GetFileInformationByHandle(file, out) != 0;
}

std::wstring FinalPath(HANDLE file) {
    wchar_t buffer[MAX_PATH * 2];
    const DWORD length =
        GetFinalPathNameByHandleW(file, buffer, MAX_PATH * 2, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= MAX_PATH * 2)
        return std::wstring();
    return std::wstring(buffer, length);
}

// Whether the process runs the held file: its image, opened by the name the
// system gives it, is the same file, and the held file is still at that
// name.
bool RunsHeldFile(HANDLE process, HANDLE held) {
    wchar_t image[MAX_PATH * 2];
    DWORD length = MAX_PATH * 2;
    if (!QueryFullProcessImageNameW(process, 0, image, &length) || length == 0)
        return false;
    HANDLE opened = CreateFileW(image, FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION a, b;
    bool same = FileIdentity(held, &a) && FileIdentity(opened, &b) &&
                a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    if (same) {
        const std::wstring heldPath = FinalPath(held);
        same = !heldPath.empty() &&
               CompareStringOrdinal(heldPath.c_str(), -1, FinalPath(opened).c_str(), -1, TRUE) ==
                   CSTR_EQUAL;
    }
    CloseHandle(opened);
    return same;
}

void EndProcess(HANDLE process) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, kTerminateWaitMs);
}

}  // namespace

void SetInstallerCheckedHookForTesting(std::function<void()> hook) {
    g_checkedHook = std::move(hook);
}

InstallerStart StartVerifiedInstaller(const std::string& path, const ExpectedContent& expected,
                                      DWORD idleWaitMs) {
    if (!expected.hasSha256)
        return InstallerStart::kUnverified;
    // Others may read it, nothing more, until its process exists.
    HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? InstallerStart::kMissing
                   : InstallerStart::kUnverified;
    }
    if (!HeldHasContent(held, expected)) {
        CloseHandle(held);
        return InstallerStart::kUnverified;
    }
    if (g_checkedHook)
        g_checkedHook();

    std::string commandLine = "\"" + path + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION info = {};
    HANDLE process = nullptr;
    HANDLE thread = nullptr;
    if (CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                       nullptr, nullptr, &startup, &info)) {
        process = info.hProcess;
        thread = info.hThread;
    } else if (GetLastError() == kElevationRequired) {
        SHELLEXECUTEINFOA shell = {};
        shell.cbSize = sizeof shell;
        shell.fMask = SEE_MASK_NOCLOSEPROCESS;
        shell.lpVerb = "runas";
        shell.lpFile = path.c_str();
        shell.nShow = SW_SHOWNORMAL;
        if (ShellExecuteExA(&shell))
            process = shell.hProcess;
    }
    if (!process) {
        CloseHandle(held);
        return InstallerStart::kNotStarted;
    }
    const bool same = RunsHeldFile(process, held);
    CloseHandle(held);
    if (!same) {
        EndProcess(process);
        if (thread)
            CloseHandle(thread);
        CloseHandle(process);
        return InstallerStart::kUnverified;
    }
    if (thread) {
        ResumeThread(thread);
        CloseHandle(thread);
    }
    WaitForInputIdle(process, idleWaitMs);
    CloseHandle(process);
    return InstallerStart::kStarted;
}
