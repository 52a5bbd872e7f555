// A prompt service for tests: records every message box and folder browser
// the code under test asks for, and answers from a script instead of showing
// anything. Install it for the life of a test:
//
//     ScriptedPrompts prompts;            // installs itself
//     prompts.messageAnswers.push_back(IDYES);
//     ... run the code ...
//     EXPECT_EQ(prompts.messages[0].text, "...");
//
// Unscripted message boxes answer IDOK (IDCANCEL for the styles that have no
// OK button); unscripted folder browsers are cancelled.
#pragma once

#include "launcher/framework/Prompts.h"

#include <deque>
#include <string>
#include <vector>

class ScriptedPrompts : public IPromptService {
  public:
    struct FolderAsk {
        FolderRequest request;
        // The status line the request would show for `statusProbe`, taken
        // while the request is alive (empty when it has no status text).
        std::string status;
    };

    ScriptedPrompts() { SetPromptService(this); }
    ~ScriptedPrompts() override { SetPromptService(nullptr); }
    ScriptedPrompts(const ScriptedPrompts&) = delete;
    ScriptedPrompts& operator=(const ScriptedPrompts&) = delete;

    int ShowMessage(const MessageRequest& request) override {
        messages.push_back(request);
        if (!messageAnswers.empty()) {
            int answer = messageAnswers.front();
            messageAnswers.pop_front();
            return answer;
        }
        UINT buttons = request.style & MB_TYPEMASK;
        return buttons == MB_YESNO || buttons == MB_RETRYCANCEL ? IDCANCEL : IDOK;
    }

    bool BrowseForFolder(const FolderRequest& request, std::string* folder) override {
        FolderAsk ask{request, std::string()};
        if (request.statusText && !statusProbe.empty()) {
            ask.status = request.statusText(statusProbe);
        }
        folders.push_back(ask);
        if (folderAnswers.empty()) {
            return false;
        }
        std::string answer = folderAnswers.front();
        folderAnswers.pop_front();
        if (answer.empty()) {
            return false;  // an empty answer is a cancel
        }
        *folder = answer;
        return true;
    }

    std::vector<MessageRequest> messages;
    std::deque<int> messageAnswers;
    std::vector<FolderAsk> folders;
    std::deque<std::string> folderAnswers;  // "" cancels
    std::string statusProbe;                // folder passed to a request's status text
};
