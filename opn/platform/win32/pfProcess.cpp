#include "opn/platform/pfProcess.h"

#include <windows.h>

#include <shellapi.h>

#include <string.h>

#include <new>

struct PfProcess {
    HANDLE handle;
};

namespace {

bool Wrap(HANDLE handle, PfProcess** process, uint32_t* error) {
    PfProcess* wrapped = new (std::nothrow) PfProcess{handle};
    if (!wrapped) {
        if (handle)
            CloseHandle(handle);
        *error = kPfErrorNotEnoughMemory;
        return false;
    }
    *process = wrapped;
    return true;
}

}  // namespace

bool ProcessGetOsVersion(PfOsVersion* out) {
    if (!out)
        return false;
    OSVERSIONINFOW info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL ok = GetVersionExW(&info);
#pragma GCC diagnostic pop
    if (!ok) {
        out->major = out->minor = 0;
        out->ntFamily = false;
        return false;
    }
    out->major = info.dwMajorVersion;
    out->minor = info.dwMinorVersion;
    out->ntFamily = info.dwPlatformId == VER_PLATFORM_WIN32_NT;
    return true;
}

bool ProcessShellExecute(const char* verb, const char* path, PfProcess** process, uint32_t* error) {
    uint32_t ignored = 0;
    if (!error)
        error = &ignored;
    if (!process || !path) {
        *error = kPfErrorInvalidParameter;
        return false;
    }
    *process = nullptr;
    SHELLEXECUTEINFOA info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = verb;
    info.lpFile = path;
    info.lpParameters = nullptr;
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&info)) {
        *error = ProcessLastError();
        return false;
    }
    return Wrap(info.hProcess, process, error);
}

bool ProcessCreate(const char* commandLine, PfProcess** process, uint32_t* error) {
    uint32_t ignored = 0;
    if (!error)
        error = &ignored;
    if (!process || !commandLine) {
        *error = kPfErrorInvalidParameter;
        return false;
    }
    *process = nullptr;
    // CreateProcessA may write into its command line.
    const size_t length = strlen(commandLine);
    char* writable = new (std::nothrow) char[length + 1];
    if (!writable) {
        *error = kPfErrorNotEnoughMemory;
        return false;
    }
    memcpy(writable, commandLine, length + 1);
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    ZeroMemory(&info, sizeof info);
    const BOOL ok = CreateProcessA(nullptr, writable, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &info);
    *error = ok ? (uint32_t)kPfErrorNone : ProcessLastError();
    delete[] writable;
    if (!ok)
        return false;
    CloseHandle(info.hThread);
    return Wrap(info.hProcess, process, error);
}

bool ProcessWaitForInputIdle(PfProcess* process, uint32_t timeoutMs) {
    if (!process || !process->handle)
        return false;
    return WaitForInputIdle(process->handle, timeoutMs) == 0;
}

void ProcessClose(PfProcess* process) {
    if (!process)
        return;
    if (process->handle)
        CloseHandle(process->handle);
    delete process;
}
