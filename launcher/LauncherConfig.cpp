#include "launcher/LauncherConfig.h"

#include "launcher/Texts.h"

#ifndef SF_CONTENT_URL
#error "SF_CONTENT_URL names the content host (set by launcher/CMakeLists.txt)"
#endif

LauncherConfig DefaultLauncherConfig() {
    LauncherConfig config;
    config.fileListUrl = SF_CONTENT_URL "/orvane/filelist.txt";
    config.skinUrl = SF_CONTENT_URL "/orvane/img.zip";
    config.gameName = texts::kGameName;
    config.productName = texts::kGameName;
    config.folderName = texts::kGameName;
    config.consentFlag = "2";
    return config;
}
