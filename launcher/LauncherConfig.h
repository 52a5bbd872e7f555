// What the launcher is built for: the content host's two URLs and the names
// of the game. The defaults are compiled in (see launcher/CMakeLists.txt,
// SF_CONTENT_URL); tests make their own against their servers.
#pragma once

#include <string>

struct LauncherConfig {
    std::string fileListUrl;  // <content host>/orvane/filelist.txt
    std::string skinUrl;      // <content host>/orvane/img.zip
    std::string gameName;     // window title, message captions
    std::string productName;  // skin folder, job name, engine parameter
    std::string folderName;   // default folder's last part, registry value
    std::string consentFlag;  // "2": high speed allowed; "1": normal only
};

// The compiled-in configuration.
LauncherConfig DefaultLauncherConfig();
