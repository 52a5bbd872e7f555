#include "sdk/support/ExtractOutput.h"

#include <string.h>

#include "opn/platform/pfVolume.h"

ExtractOutput::ExtractOutput(int64_t maxBytes, int64_t maxEntries, const std::atomic<bool>* cancel,
                             IZipFileTarget* files)
    : m_maxBytes(maxBytes),
      m_maxEntries(maxEntries),
      m_cancel(cancel),
      m_target(files ? *files : ZipWideFileTarget()) {}

bool ExtractOutput::Admit(const char* folder, int64_t entries, int64_t bytes) {
    m_admitted = false;
    m_made = 0;
    m_written = 0;
    m_files.Clear();
    if (!folder || !folder[0] || entries < 0 || bytes < 0 || entries > m_maxEntries ||
        bytes > m_maxBytes || Cancelled())
        return false;
    int64_t freeBytes = 0;
    if (PfFreeDiskSpaceAt(folder, &freeBytes) && freeBytes < bytes)
        return false;
    if (!m_folder.Assign(folder))
        return false;
    m_admitted = true;
    m_admittedEntries = entries;
    m_admittedBytes = bytes;
    return true;
}

bool ExtractOutput::Cancelled() const {
    return m_cancel && m_cancel->load(std::memory_order_relaxed);
}

bool ExtractOutput::Exists(const char* path) {
    return m_target.Exists(path);
}

bool ExtractOutput::CreateFolder(const char* path) {
    return !Cancelled() && m_target.CreateFolder(path);
}

FsFile* ExtractOutput::CreateOutputFile(const char* path, uint32_t attributes) {
    if (!m_admitted || Cancelled() || m_made >= m_admittedEntries)
        return nullptr;
    ++m_made;
    FsFile* file = m_target.CreateOutputFile(path, attributes);
    if (file)
        Remember(path);
    return file;
}

bool ExtractOutput::Write(FsFile* file, const void* data, size_t size) {
    if (Cancelled() || (uint64_t)size > (uint64_t)(m_admittedBytes - m_written))
        return false;
    if (!m_target.Write(file, data, size))
        return false;
    m_written += (int64_t)size;
    return true;
}

void ExtractOutput::Remember(const char* path) {
    const uint32_t base = m_folder.Length();
    if (strncmp(path, m_folder.CStr(), base) != 0 || path[base] == '\0')
        return;
    const char* relative = path + base;
    for (int32_t i = 0; i < m_files.Count(); ++i)
        if (strcmp(m_files.At(i), relative) == 0)
            return;
    m_files.Add(relative);
}
