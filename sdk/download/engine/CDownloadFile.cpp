#include "sdk/download/engine/CDownloadFile.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "sdk/download/engine/EngineUnpack.h"
#include "sdk/download/engine/IDownloadFileEventListener.h"

CDownloadFile::CDownloadFile(IDownloadFileEventListener* owner, const char* url,
                             const char* hashUrl, const char* name, const char* folder)
    : m_owner(owner) {
    if (!url || !url[0])
        return;
    m_url = url;
    m_hashUrl = hashUrl;
    m_name = name;
    m_folder = folder;
    if (!m_hashUrl.IsEmpty()) {
        m_holder = new (std::nothrow) HashListHolder();
        // Without a holder the hash list has nowhere to go: no tries.
        if (!m_holder)
            return;
    }
    m_tries = kDownloadTries;
}

CDownloadFile::~CDownloadFile() {
    // Ends the worker before anything it was given goes.
    delete m_unpack;
    if (m_holder) {
        free(m_holder->data);
        delete m_holder;
    }
}

int32_t CDownloadFile::GetKey(ovCString& out) {
    out = CurrentKey();
    return 1;
}

bool CDownloadFile::MatchesKey(const char* text) const {
    return text && !CurrentKey().IsEmpty() && CurrentKey().Equals(text);
}

int32_t CDownloadFile::GetMode(const char* url) {
    if (!url || !url[0])
        return kDownloadModeUnknown;
    if (!m_sigUrl.IsEmpty() && m_sigUrl.Equals(url))
        return kDownloadModeSignature;
    if (!m_holder && m_folder.IsEmpty() && m_name.IsEmpty())
        return kDownloadModeManifest;
    if (m_hashUrl.Equals(url))
        return kDownloadModeHashList;
    if (m_url.Equals(url))
        return kDownloadModeArchive;
    return kDownloadModeUnknown;
}

bool CDownloadFile::IsFinal() {
    // Only a hash list or signature that arrived whole has a second phase;
    // one that was refused ends the attempt like any failure.
    return !((m_phaseMode == kDownloadModeHashList || m_phaseMode == kDownloadModeSignature) &&
             m_phaseResult == kDownloadOk);
}

int32_t CDownloadFile::OnDownloaded(const char* url, const uint8_t* data, int64_t size,
                                    int32_t* mode) {
    return Take(url, data, nullptr, size, mode);
}

int32_t CDownloadFile::OnDownloadedBuffer(const char* url, uint8_t** buffer, int64_t size,
                                          int32_t* mode) {
    return Take(url, buffer ? *buffer : nullptr, buffer, size, mode);
}

int32_t CDownloadFile::Take(const char* url, const uint8_t* data, uint8_t** owned, int64_t size,
                            int32_t* mode) {
    const int32_t used = GetMode(url);
    int32_t result = kDownloadUnknownUrl;
    if (!url || !data || size <= 0) {
        result = kDownloadNoData;
    } else if (used == kDownloadModeManifest) {
        result = m_owner ? m_owner->OnManifest(this, data, size) : kDownloadNoData;
    } else if (used == kDownloadModeHashList) {
        uint8_t* copy =
            size <= kMaxHashListSize ? static_cast<uint8_t*>(malloc((size_t)size)) : nullptr;
        if (copy) {
            memcpy(copy, data, (size_t)size);
            free(m_holder->data);
            m_holder->data = copy;
            m_holder->length = size;
            m_hashUrl.Clear();
            result = kDownloadOk;
        } else {
            result = kDownloadNoData;
        }
    } else if (used == kDownloadModeSignature) {
        // Kept as it came: a malformed signature file fails its check.
        if (size <= kMaxSignatureSize) {
            memcpy(m_signature, data, (size_t)size);
            m_signatureLength = size;
            m_sigUrl.Clear();
            result = kDownloadOk;
        } else {
            result = kDownloadNoData;
        }
    } else if (used == kDownloadModeArchive) {
        uint8_t* archive = nullptr;
        if (owned) {
            archive = *owned;
            *owned = nullptr;
        } else if (m_owner) {
            archive = static_cast<uint8_t*>(malloc((size_t)size));
            if (archive)
                memcpy(archive, data, (size_t)size);
        }
        result = m_owner ? m_owner->OnArchive(this, m_holder, archive, size) : kDownloadNoData;
        if (!m_owner)
            free(archive);
    }
    m_phaseMode = used;
    m_phaseResult = result;
    if (mode)
        *mode = used;
    return result;
}

bool CDownloadFile::TakeForDownload() {
    if (m_busy)
        return false;
    m_charged = false;
    if (!m_unlimited) {
        if (m_tries <= 0)
            return false;
        --m_tries;
        m_charged = true;
    }
    m_busy = 1;
    return true;
}

bool CDownloadFile::Finish(bool success, bool unreachable) {
    m_busy = 0;
    if (success)
        return true;
    if (unreachable && m_charged)
        ++m_tries;
    m_charged = false;
    if (m_signed) {
        // The next try fetches the signature again with the manifest.
        m_sigUrl = m_url;
        m_sigUrl.Append(".sig");
        m_signatureLength = -1;
    }
    return m_tries <= 0;
}

void CDownloadFile::RequireSignature() {
    if (m_url.IsEmpty())
        return;
    m_signed = true;
    m_sigUrl = m_url;
    m_sigUrl.Append(".sig");
    m_signatureLength = -1;
}

const uint8_t* CDownloadFile::Signature(int64_t* length) const {
    if (length)
        *length = m_signatureLength < 0 ? 0 : m_signatureLength;
    return m_signatureLength < 0 ? nullptr : m_signature;
}

void CDownloadFile::SetExpectedSha256(const uint8_t* sha256) {
    m_hasSha256 = sha256 != nullptr;
    if (sha256)
        memcpy(m_sha256, sha256, kSha256Size);
}

void CDownloadFile::SetUnpack(EngineUnpack* unpack) {
    delete m_unpack;
    m_unpack = unpack;
}

bool CDownloadFile::TakeUnpackResult(int32_t* result) {
    if (!m_unpack || !m_unpack->Done())
        return false;
    if (result)
        *result = m_unpack->Result();
    delete m_unpack;
    m_unpack = nullptr;
    return true;
}
