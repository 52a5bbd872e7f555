#include "launcher/framework/Prompts.h"

#include <objbase.h>
#include <shlobj.h>

namespace {

struct BrowseContext {
    const FolderRequest* request;
};

// The browser's status line control (absent when BIF_STATUSTEXT is not set).
const int kBrowseStatusControl = 14146;

int CALLBACK BrowseCallback(HWND hwnd, UINT msg, LPARAM lp, LPARAM data) noexcept {
    const auto* context = reinterpret_cast<const BrowseContext*>(data);
    if (context == nullptr) {
        return 0;
    }
    const FolderRequest& request = *context->request;
    if (msg == BFFM_INITIALIZED && !request.initialFolder.empty()) {
        ::SendMessageA(hwnd, BFFM_SETSELECTIONA, TRUE,
                       reinterpret_cast<LPARAM>(request.initialFolder.c_str()));
    } else if (msg == BFFM_SELCHANGED && request.statusText) {
        char path[MAX_PATH] = {0};
        if (lp != 0 && ::SHGetPathFromIDListA(reinterpret_cast<PCIDLIST_ABSOLUTE>(lp), path)) {
            HWND status = ::GetDlgItem(hwnd, kBrowseStatusControl);
            if (status != nullptr) {
                ::SetWindowTextA(status, request.statusText(path).c_str());
            }
        }
    }
    return 0;
}

class SystemPrompts : public IPromptService {
  public:
    int ShowMessage(const MessageRequest& request) override {
        return ::MessageBoxA(request.owner, request.text.c_str(), request.caption.c_str(),
                             request.style);
    }

    bool BrowseForFolder(const FolderRequest& request, std::string* folder) override {
        // The browser needs COM on this thread; balanced when we started it.
        HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        BrowseContext context{&request};
        BROWSEINFOA info = {};
        info.hwndOwner = request.owner;
        info.lpszTitle = request.title.c_str();
        info.ulFlags = request.flags;
        info.lpfn = BrowseCallback;
        info.lParam = reinterpret_cast<LPARAM>(&context);
        PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderA(&info);
        bool ok = false;
        if (chosen != nullptr) {
            char path[MAX_PATH] = {0};
            ok = ::SHGetPathFromIDListA(chosen, path) != FALSE;
            if (ok) {
                *folder = path;
            }
            ::CoTaskMemFree(chosen);
        }
        if (SUCCEEDED(com)) {
            ::CoUninitialize();
        }
        return ok;
    }
};

SystemPrompts g_systemPrompts;
IPromptService* g_prompts = &g_systemPrompts;
std::string g_applicationName;

}  // namespace

IPromptService& Prompts() {
    return *g_prompts;
}

void SetPromptService(IPromptService* service) {
    g_prompts = service != nullptr ? service : &g_systemPrompts;
}

void SetApplicationName(const std::string& name) {
    g_applicationName = name;
}

const std::string& ApplicationName() {
    return g_applicationName;
}

int ShowMessage(HWND owner, const std::string& text, const std::string& caption, UINT style) {
    MessageRequest request;
    request.owner = owner;
    request.text = text;
    request.caption = caption;
    request.style = style;
    return Prompts().ShowMessage(request);
}

int AppMessageBox(const std::string& text, UINT style) {
    return ShowMessage(::GetActiveWindow(), text, g_applicationName, style);
}
