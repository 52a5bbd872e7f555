// The demo game's installer: a small real Windows program the launcher
// downloads and starts at the end. Like a real installer it first checks its
// files for a moment before its window comes up (the launcher shows its
// installing dialog until then); it shows that it ran (a window sized to its
// Korean text) and leaves a marker file beside itself, so an end-to-end run
// can see that the launcher really started it. It closes itself after a few
// seconds so that unattended runs end.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

namespace {

const UINT_PTR kCloseTimer = 1;
const UINT kShowMs = 4000;
// The time "checking" takes before the window and the message loop.
const DWORD kCheckMs = 3000;
// Room around the text inside the window.
const int kMarginX = 32;
const int kMarginY = 28;
const wchar_t kText[] = L"brightwave7 데모 설치 프로그램이 실행되었습니다.";
const wchar_t kMarkerName[] = L"demo-installer-ran.txt";

// Writes "<folder of this program>\demo-installer-ran.txt".
void WriteMarker() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    wchar_t* slash = wcsrchr(path, L'\\');
    if (!slash || (size_t)(slash + 1 - path) + wcslen(kMarkerName) >= MAX_PATH)
        return;
    wcscpy_s(slash + 1, MAX_PATH - (size_t)(slash + 1 - path), kMarkerName);
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    char line[64];
    int written = snprintf(line, sizeof(line), "ran pid=%lu\r\n", GetCurrentProcessId());
    DWORD done = 0;
    if (written > 0)
        WriteFile(file, line, (DWORD)written, &done, nullptr);
    CloseHandle(file);
}

// The text's extent in a window's default font.
RECT TextRect() {
    RECT rect = {0, 0, 0, 0};
    HDC dc = GetDC(nullptr);
    DrawTextW(dc, kText, -1, &rect, DT_CALCRECT | DT_SINGLELINE);
    ReleaseDC(nullptr, dc);
    return rect;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            RECT client;
            GetClientRect(window, &client);
            SetBkMode(dc, TRANSPARENT);
            DrawTextW(dc, kText, -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_TIMER:
            if (wParam == kCloseTimer)
                DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    WriteMarker();
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"SwarmFetchDemoInstaller";
    if (!RegisterClassW(&windowClass))
        return 1;
    Sleep(kCheckMs);
    // Sized to the whole text in the font the window draws it with.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
    RECT frame = TextRect();
    frame.right += 2 * kMarginX;
    frame.bottom += 2 * kMarginY;
    AdjustWindowRectEx(&frame, style, FALSE, 0);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"brightwave7 설치", style, 120,
                                  120, frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                  nullptr, instance, nullptr);
    if (!window)
        return 1;
    ShowWindow(window, show);
    UpdateWindow(window);
    SetTimer(window, kCloseTimer, kShowMs, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
