// The prompt service: every message box and the folder browser of the
// launcher go through here, so that what the user is asked is decided in one
// place and tests can answer the questions and read them back.
//
// The system service shows MessageBoxA and SHBrowseForFolderA. A test
// installs its own IPromptService with SetPromptService() and restores the
// system one with SetPromptService(nullptr).
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// One message box: exactly what MessageBoxA would be given.
struct MessageRequest {
    HWND owner = nullptr;  // null: no owner
    std::string text;      // system code page bytes
    std::string caption;
    UINT style = MB_OK;
};

// One run of the folder browser.
struct FolderRequest {
    HWND owner = nullptr;
    std::string title;          // the text above the tree
    UINT flags = 0;             // BIF_ flags
    std::string initialFolder;  // selected when the browser opens; empty: none
    // Status line for a newly selected folder; empty function: no status.
    std::function<std::string(const std::string& folder)> statusText;
};

class IPromptService {
  public:
    virtual ~IPromptService() = default;
    // Shows the message box; returns the button pressed (IDOK, IDYES, ...).
    virtual int ShowMessage(const MessageRequest& request) = 0;
    // Shows the folder browser; true with the chosen file-system folder in
    // *folder, false when the user cancelled or no folder could be had.
    virtual bool BrowseForFolder(const FolderRequest& request, std::string* folder) = 0;
};

// The service in use (the system one unless a test installed another).
IPromptService& Prompts();
// Installs `service` (kept by the caller); null restores the system service.
void SetPromptService(IPromptService* service);

// The application's name, the caption of AppMessageBox (default "").
void SetApplicationName(const std::string& name);
const std::string& ApplicationName();

// A message box with the given owner and caption.
int ShowMessage(HWND owner, const std::string& text, const std::string& caption, UINT style);
// A message box captioned with the application name, owned by the active
// window of this thread (the application's own message box).
int AppMessageBox(const std::string& text, UINT style);
