// The progress texts: every figure comes from the library's once-a-second
// record; the dialog only formats it.
#include "launcher/ZVTDownloaderDlg.h"

#include <stdio.h>

#include "launcher/DisplayFormat.h"
#include "launcher/res/resource.h"

namespace {

std::string PercentText(int percent) {
    char text[16];
    snprintf(text, sizeof(text), "%d%%", percent);
    return text;
}

}  // namespace

void CZVTDownloaderDlg::ShowProgress(const SwarmFetchProgress& progress) {
    if (m_progress.GetSafeHwnd())
        m_progress.SetPos(progress.percent);
    m_percentText = PercentText(progress.percent);
    m_remainingText = FormatDuration(progress.remaining);
    m_elapsedText = FormatDuration(progress.elapsed);
    m_receivedText = FormatSize(progress.received);
    m_totalText = FormatSize(progress.total);
    m_speedText = FormatSpeed((int64_t)progress.speed);
    UpdateData(false);
    Refresh();
}

void CZVTDownloaderDlg::ShowIdleTexts() {
    m_elapsedText = FormatDuration(0);
    m_remainingText = FormatDuration(0);
    m_receivedText = FormatSize(0);
    m_speedText = FormatSpeed(0);
    m_percentText = PercentText(0);
}

void CZVTDownloaderDlg::UpdateFileLabel() {
    FileLabelText(m_urls, m_filesDone, m_fileNumber, &m_fileLabel);
}
