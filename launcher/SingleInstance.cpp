#include "launcher/SingleInstance.h"

std::string InstanceMutexName(const std::string& fileListUrl) {
    std::string name = "ZVTDownloadV3::" + fileListUrl;
    if (name.size() > kInstanceNameMax)
        name.resize(kInstanceNameMax);
    return name;
}
