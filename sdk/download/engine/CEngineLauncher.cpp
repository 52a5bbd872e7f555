#include "sdk/download/engine/CEngineLauncher.h"

#include <new>

#include "sdk/download/engine/CDownloader.h"
#include "sdk/support/ServiceLog.h"

CEngineLauncher::CEngineLauncher(ILauncherEventListener* listener) : m_listener(listener) {}

CEngineLauncher::~CEngineLauncher() {
    delete m_downloader;
}

bool CEngineLauncher::Start() {
    if (m_downloader)
        return true;
    m_downloader = new (std::nothrow) CDownloader(this);
    if (!m_downloader)
        return false;
    m_downloader->BeginUpdate();
    return true;
}

void CEngineLauncher::OnWaitingForNetwork() {
    if (m_listener)
        m_listener->OnUpdateWaiting();
}

void CEngineLauncher::OnSizeKnown(const char* url, int32_t sizeLow, int32_t sizeHigh) {
    if (m_listener)
        m_listener->OnUpdateStarted(url, sizeLow, sizeHigh);
}

void CEngineLauncher::OnProgress(const char* url, int32_t bytesLow, int32_t bytesHigh) {
    if (m_listener)
        m_listener->OnUpdateProgress(url, bytesLow, bytesHigh);
}

void CEngineLauncher::OnFinished(int32_t launched, int32_t allOk, const char* version) {
    m_ended = true;
    if (allOk && version && version[0])
        LogWrite("[SwarmFetchLib] Patch Success");
    else
        LogWrite("[SwarmFetchLib] Patch Fail");
    if (!m_listener)
        return;
    if (launched == 1 || allOk == 1)
        m_listener->OnEngineUpdated();
    else
        m_listener->OnEngineUpdateFailed();
}

void CEngineLauncher::OnInstallFailed(int32_t kind) {
    m_ended = true;
    if (m_listener)
        m_listener->OnEngineInstallFailed(kind);
}
