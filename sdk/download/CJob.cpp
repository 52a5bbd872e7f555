#include "sdk/download/CJob.h"

#include "opn/opeerqos/utCUriCodec.h"
#include "opn/platform/pfCodePage.h"
#include "sdk/support/ExpectedContent.h"
#include "sdk/support/PathComponent.h"

#include <new>
#include <stdlib.h>
#include <string.h>

struct CJob::IndexRecord {
    ovCString key;       // lower-cased folder plus file name
    ovCString sameFile;  // the key with its spellings folded (FoldPath)
    DownloadEntry* entry;
};

struct CJob::PathRecord {
    ovCString path;
    bool finished;
};

struct CJob::MessageRecord {
    int32_t code;
    char* text;  // owned, or null
};

namespace {

// Copies at most `max` characters of `text` into `out` (max + 1 bytes).
void CopyCut(char* out, const char* text, size_t max) {
    size_t n = 0;
    if (text) {
        while (n < max && text[n])
            ++n;
        memcpy(out, text, n);
    }
    out[n] = '\0';
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// `text` without white space at either end.
bool AssignTrimmed(ovCString& out, const char* text) {
    size_t begin = 0;
    size_t end = strlen(text);
    while (begin < end && IsSpace(text[begin]))
        ++begin;
    while (end > begin && IsSpace(text[end - 1]))
        --end;
    if (end - begin >= 0x7FFFFFFFu)
        return false;
    return out.Assign(text + begin, (uint32_t)(end - begin));
}

// The file name a URL list gives: what follows the last '/' of each mirror,
// the same for every mirror. 513 when a mirror has no such name, it is no
// safe path component, or the mirrors disagree.
int32_t NameFromMirrors(const char* list, ovCString& name) {
    bool first = true;
    for (const char* mirror = list;;) {
        const char* end = strchr(mirror, '|');
        if (!end)
            end = mirror + strlen(mirror);
        // The fragment is no part of the name.
        const char* nameEnd = mirror + UrlLengthWithoutFragment(mirror, (size_t)(end - mirror));
        const char* tail = nameEnd;
        for (const char* p = mirror; p < nameEnd; ++p)
            if (*p == '/')
                tail = p + 1;
        const size_t length = (size_t)(nameEnd - tail);
        if (!PathComponentIsSafe(tail, length))
            return SF_RESULT_NO_URL;
        if (first) {
            if (!name.Assign(tail, (uint32_t)length))
                return SF_RESULT_FAILED;
            first = false;
        } else if (name.Length() != length || memcmp(name.CStr(), tail, length) != 0) {
            return SF_RESULT_NO_URL;
        }
        if (*end == '\0')
            return SF_RESULT_OK;
        mirror = end + 1;
    }
}

// Folds the spellings of one path that the file system reads alike into one,
// in place; returns the new length. Separators are backslashes. Kept as
// written: the root (a leading "\\" or "\", or a drive "x:\"). Folded:
// doubled separators, "." steps, ".." steps (taken back lexically, never
// past the root) and the dots and spaces Windows drops at a part's end.
// The byte after a lead byte is never a separator, dot or space.
uint32_t FoldPath(char* text, uint32_t length, uint32_t* starts) {
    uint32_t root = 0;
    while (root < length && root < 2 && text[root] == '\\')
        ++root;
    if (root == 0 && length >= 2 && text[1] == ':')
        root = length >= 3 && text[2] == '\\' ? 3 : 2;
    uint32_t out = root;
    uint32_t parts = 0;
    uint32_t i = root;
    while (i < length) {
        uint32_t end = i;
        while (end < length && text[end] != '\\')
            end += CodePageIsLeadByte((unsigned char)text[end]) && end + 1 < length ? 2 : 1;
        const uint32_t size = end - i;
        const bool dot = size == 1 && text[i] == '.';
        const bool up = size == 2 && text[i] == '.' && text[i + 1] == '.';
        uint32_t kept = size;
        while (!dot && !up && kept > 0 && (text[i + kept - 1] == '.' || text[i + kept - 1] == ' '))
            --kept;
        if (up) {
            if (parts > 0)
                out = starts[--parts];
        } else if (!dot && kept > 0) {
            starts[parts++] = out;
            memmove(text + out, text + i, kept);
            out += kept;
            if (end < length)
                text[out++] = '\\';
        }
        i = end + 1;
    }
    return out;
}

// The key of a path: its letters lowered, as Windows ignores their case in
// names; with `fold` also its spellings folded (FoldPath; '/' reads as '\\').
// The byte after a lead byte is the second half of a double-byte
// character, never a letter ("\xB0\x41" and "\xB0\x61" are two names).
bool LowerKey(const char* path, ovCString& key, bool fold = false) {
    if (!key.Assign(path))
        return false;
    if (key.Length() == 0)
        return true;
    const uint32_t length = key.Length();
    char* text = static_cast<char*>(malloc(length));
    uint32_t* starts = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * length));
    if (!text || !starts) {
        free(text);
        free(starts);
        return false;
    }
    memcpy(text, key.CStr(), length);
    for (uint32_t i = 0; i < length; ++i) {
        if (CodePageIsLeadByte((unsigned char)text[i]))
            ++i;
        else if (text[i] >= 'A' && text[i] <= 'Z')
            text[i] = (char)(text[i] - 'A' + 'a');
        else if (fold && text[i] == '/')
            text[i] = '\\';
    }
    const bool ok = key.Assign(text, fold ? FoldPath(text, length, starts) : length);
    free(text);
    free(starts);
    return ok;
}

// Appends `urlList` for the text of a file-done record, in at most `room`
// bytes. The host takes what follows the first comma as the path, so a
// comma of the list is written "%2C"; a list too long is cut, never the
// path, and never inside a double-byte character (a lone lead byte would
// take the comma after it for its trail byte).
void AppendRecordUrl(char* out, size_t* length, size_t room, const char* urlList) {
    size_t n = *length;
    const size_t end = n + room;
    for (const char* p = urlList; *p;) {
        const size_t size = CodePageIsLeadByte((unsigned char)*p) && p[1] ? 2 : 1;
        size_t need = 0;
        for (size_t i = 0; i < size; ++i)
            need += p[i] == ',' ? 3 : 1;
        if (n + need > end)
            break;
        for (size_t i = 0; i < size; ++i, ++p) {
            if (*p == ',') {
                memcpy(out + n, "%2C", 3);
                n += 3;
            } else {
                out[n++] = *p;
            }
        }
    }
    *length = n;
}

}  // namespace

CJob::CJob(uint32_t handle, int32_t number, const HostTarget& host)
    : m_host(host), m_number(number), m_handle(handle) {
    memset(&m_progress, 0, sizeof m_progress);
}

CJob::~CJob() {
    for (ovCPtrList::Node* n = m_entries.HeadNode(); n; n = n->next)
        delete static_cast<DownloadEntry*>(n->element);
    for (ovCPtrList::Node* n = m_index.HeadNode(); n; n = n->next)
        delete static_cast<IndexRecord*>(n->element);
    for (ovCPtrList::Node* n = m_paths.HeadNode(); n; n = n->next)
        delete static_cast<PathRecord*>(n->element);
    for (ovCPtrList::Node* n = m_fileDone.HeadNode(); n; n = n->next)
        free(n->element);
    for (ovCPtrList::Node* n = m_messages.HeadNode(); n; n = n->next) {
        MessageRecord* m = static_cast<MessageRecord*>(n->element);
        free(m->text);
        delete m;
    }
    free(m_sizeInfo);
    free(m_jobDone);
}

void CJob::SetName(const char* name) {
    CopyCut(m_name, name, kJobNameMax);
}

void CJob::SetCode(const char* code) {
    CopyCut(m_code, code, kJobCodeMax);
}

int32_t CJob::Prepare(const char* url, const char* folder, const char* fileName, int64_t size,
                      NewFile* file) {
    if (m_state != kIdle)
        return SF_RESULT_FAILED;
    file->size = size;
    const int32_t result = Resolve(url, folder, fileName, size, file);
    if (result == SF_RESULT_NO_URL || result == SF_RESULT_BAD_FOLDER)
        NoteRefusedFile(url);
    return result;
}

int32_t CJob::Resolve(const char* url, const char* folder, const char* fileName, int64_t size,
                      NewFile* file) {
    if (!url || !url[0])
        return SF_RESULT_NO_URL;
    if (!folder || !folder[0])
        return SF_RESULT_BAD_FOLDER;

    if (!AssignTrimmed(file->urlList, url))
        return SF_RESULT_FAILED;
    // A CR, LF or other control byte would break the request line: such a
    // URL is no URL.
    if (file->urlList.IsEmpty() || utCUriCodec::HasControlBytes(file->urlList.CStr()))
        return SF_RESULT_NO_URL;

    // Empty mirrors are skipped, but one must be left.
    if (strspn(file->urlList.CStr(), "| ") == file->urlList.Length())
        return SF_RESULT_NO_URL;

    // What the fragments say the file is; a size the host gave must agree.
    if (!ReadUrlListContent(file->urlList.CStr(), &file->content))
        return SF_RESULT_NO_URL;
    if (file->content.size >= 0 && size != -1 && size != file->content.size)
        return SF_RESULT_NO_URL;

    // The name: the caller's, else the one every mirror's URL ends in.
    if (fileName && fileName[0]) {
        if (!PathComponentIsSafe(fileName, strlen(fileName)))
            return SF_RESULT_NO_URL;
        if (!file->name.Assign(fileName))
            return SF_RESULT_FAILED;
    } else {
        const int32_t named = NameFromMirrors(file->urlList.CStr(), file->name);
        if (named != SF_RESULT_OK)
            return named;
    }

    // The folder with backslashes only and a final backslash.
    const size_t folderLength = strlen(folder);
    if (folderLength + 1 >= kJobPathSize)
        return SF_RESULT_BAD_FOLDER;
    char folderText[kJobPathSize];
    for (size_t i = 0; i < folderLength; ++i)
        folderText[i] = folder[i] == '/' ? '\\' : folder[i];
    size_t n = folderLength;
    if (folderText[n - 1] != '\\')
        folderText[n++] = '\\';
    folderText[n] = '\0';
    // The whole path, while it is written as a partial file too, must stay
    // below the limit; a name that takes it there is refused like any other
    // name that cannot be written.
    if (n + file->name.Length() + kPartFileSuffixLength >= kJobPathSize)
        return SF_RESULT_NO_URL;

    ovCString path;
    if (!file->folder.Assign(folderText) || !path.Assign(file->folder) ||
        !path.Append(file->name) || !LowerKey(path.CStr(), file->key) ||
        !LowerKey(path.CStr(), file->sameFile, true))
        return SF_RESULT_FAILED;
    // One file spelled two ways is listed twice too: with files in flight
    // both entries would write its partial file at once.
    for (ovCPtrList::Node* node = m_index.HeadNode(); node; node = node->next) {
        if (static_cast<IndexRecord*>(node->element)->sameFile.Equals(file->sameFile))
            return SF_RESULT_FAILED;
    }
    return SF_RESULT_OK;
}

int32_t CJob::AddFile(const char* url, const char* folder, const char* fileName, int64_t size,
                      int32_t value1, int32_t value2) {
    NewFile file;
    const int32_t result = Prepare(url, folder, fileName, size, &file);
    if (result != SF_RESULT_OK)
        return result;
    return AddPrepared(&file, value1, value2);
}

int32_t CJob::AddPrepared(NewFile* prepared, int32_t value1, int32_t value2) {
    NewFile& file = *prepared;
    const int64_t size = file.size;

    DownloadEntry* entry = new (std::nothrow) DownloadEntry;
    IndexRecord* record = new (std::nothrow) IndexRecord;
    if (!entry || !record) {
        delete entry;
        delete record;
        return SF_RESULT_FAILED;
    }
    entry->index = m_entries.Count();
    memcpy(m_folder, file.folder.CStr(), file.folder.Length() + 1);
    entry->urlList.Swap(file.urlList);
    entry->folder.Swap(file.folder);
    entry->fileName.Swap(file.name);
    CopyCut(entry->tag, m_name, kJobNameMax);
    entry->size = size == -1 ? file.content.size : size;
    entry->hasSha256 = file.content.hasSha256;
    memcpy(entry->sha256, file.content.sha256, sizeof entry->sha256);
    entry->value1 = value1;
    entry->value2 = value2;
    record->key.Swap(file.key);
    record->sameFile.Swap(file.sameFile);
    record->entry = entry;
    if (!m_entries.AddTail(entry)) {
        delete entry;
        delete record;
        return SF_RESULT_FAILED;
    }
    if (!m_index.AddTail(record)) {
        m_entries.Remove(entry);
        delete entry;
        delete record;
        return SF_RESULT_FAILED;
    }
    return SF_RESULT_OK;
}

void CJob::NoteRefusedFile(const char* url) {
    // Files are added only while idle; an add refused for the state skips
    // nothing.
    if (m_refused || m_state != kIdle)
        return;
    m_refused = true;
    if (!url)
        return;
    // The text of the failure message; a URL that is still no text after
    // trimming gets none.
    if (!AssignTrimmed(m_refusedUrl, url) || utCUriCodec::HasControlBytes(m_refusedUrl.CStr()))
        m_refusedUrl.Clear();
}

DownloadEntry* CJob::EntryAt(int32_t index) {
    return static_cast<DownloadEntry*>(m_entries.GetAt(index));
}

DownloadEntry* CJob::FindEntry(const char* fullPath) {
    if (!fullPath)
        return nullptr;
    ovCString key;
    if (!LowerKey(fullPath, key))
        return nullptr;
    for (ovCPtrList::Node* node = m_index.HeadNode(); node; node = node->next) {
        IndexRecord* record = static_cast<IndexRecord*>(node->element);
        if (record->key.Equals(key))
            return record->entry;
    }
    return nullptr;
}

void CJob::CopyProgress(SwarmFetchProgress* out) const {
    if (!out)
        return;
    const size_t gap = offsetof(SwarmFetchProgress, unused28);
    const size_t rest = offsetof(SwarmFetchProgress, elapsed);
    memcpy(out, &m_progress, gap);
    memcpy(reinterpret_cast<char*>(out) + rest, reinterpret_cast<const char*>(&m_progress) + rest,
           sizeof(SwarmFetchProgress) - rest);
}

void CJob::Deliver(uint32_t code) {
    DeliverHostEvent(m_host, code, m_handle);
}

void CJob::ReportSizeInfo(int32_t value, int64_t total) {
    if (m_state != kRunning || m_progress.received != 0)
        return;
    SwarmFetchSizeInfo* record =
        static_cast<SwarmFetchSizeInfo*>(calloc(1, sizeof(SwarmFetchSizeInfo)));
    if (!record)
        return;
    record->value = value;
    record->total = total;
    free(m_sizeInfo);
    m_sizeInfo = record;
    Deliver(SF_EVENT_SIZE_INFO);
}

void CJob::Tick() {
    if (m_state == kRunning && m_progress.received != 0)
        Deliver(SF_EVENT_PROGRESS);
}

void CJob::ReportFileDone(const char* path, const char* urlList) {
    DownloadEntry* entry = FindEntry(path);
    if (entry && entry->reportState == kEntryReported)
        return;
    SwarmFetchFileDone* record =
        static_cast<SwarmFetchFileDone*>(calloc(1, sizeof(SwarmFetchFileDone)));
    if (!record)
        return;
    record->fileCount = m_progress.fileCount;
    record->sequence = m_fileDoneCounter + 1;
    // "url,path" in the record's 1023 characters: the path whole (it is
    // below kJobPathSize), the URL list in what is left.
    const char* fullPath = path ? path : "";
    const size_t capacity = sizeof record->text - 1;
    size_t pathLength = strlen(fullPath);
    if (pathLength > capacity - 1)
        pathLength = capacity - 1;
    size_t length = 0;
    AppendRecordUrl(record->text, &length, capacity - 1 - pathLength, urlList ? urlList : "");
    record->text[length++] = ',';
    memcpy(record->text + length, fullPath, pathLength);
    record->text[length + pathLength] = '\0';
    if (!m_fileDone.AddTail(record)) {
        free(record);
        return;
    }
    ++m_fileDoneCounter;
    if (entry)
        entry->reportState = kEntryReported;
    Deliver(SF_EVENT_FILE_DONE);
}

void CJob::ReportJobDone(int32_t filesDone, int32_t extra) {
    if (m_progress.received != 0)
        Deliver(SF_EVENT_PROGRESS);
    m_state = kComplete;
    SwarmFetchJobDone* record =
        static_cast<SwarmFetchJobDone*>(calloc(1, sizeof(SwarmFetchJobDone)));
    if (record) {
        record->fileCount = m_entries.Count();
        record->filesDone = filesDone;
        record->extra = extra;
        free(m_jobDone);
        m_jobDone = record;
    }
    Deliver(SF_EVENT_JOB_DONE);
}

void CJob::QueueMessage(int32_t code, const char* text) {
    MessageRecord* record = new (std::nothrow) MessageRecord;
    if (!record)
        return;
    record->code = code;
    record->text = nullptr;
    if (text) {
        const size_t length = strlen(text);
        // The host learns the length as a 32-bit count including the terminator.
        if (length >= 0x7FFFFFFEu) {
            delete record;
            return;
        }
        record->text = static_cast<char*>(malloc(length + 1));
        if (!record->text) {
            delete record;
            return;
        }
        memcpy(record->text, text, length + 1);
    }
    if (!m_messages.AddTail(record)) {
        free(record->text);
        delete record;
        return;
    }
    Deliver(SF_EVENT_MESSAGE);
}

void CJob::AskResume() {
    Deliver(SF_EVENT_RESUME_QUESTION);
}

void CJob::TakeSizeInfo(SwarmFetchSizeInfo* out) {
    if (!m_sizeInfo)
        return;
    if (out)
        *out = *m_sizeInfo;
    free(m_sizeInfo);
    m_sizeInfo = nullptr;
}

void CJob::TakeJobDone(SwarmFetchJobDone* out) {
    if (!m_jobDone)
        return;
    if (out)
        *out = *m_jobDone;
    free(m_jobDone);
    m_jobDone = nullptr;
}

void CJob::PopFileDone(SwarmFetchFileDone* out) {
    if (m_fileDone.Count() == 0)
        return;
    SwarmFetchFileDone* record = static_cast<SwarmFetchFileDone*>(m_fileDone.RemoveAt(0));
    if (out && record)
        *out = *record;
    free(record);
}

int32_t CJob::MessageLength() {
    MessageRecord* record = static_cast<MessageRecord*>(m_messages.GetHead());
    if (!record || !record->text)
        return 0;
    return (int32_t)strlen(record->text) + 1;
}

void CJob::PopMessage(SwarmFetchMessage* out) {
    MessageRecord* record = static_cast<MessageRecord*>(m_messages.RemoveAt(0));
    if (!record) {
        if (out)
            out->code = SF_MSG_NONE;
        return;
    }
    if (out) {
        out->code = record->code;
        if (out->text && record->text && record->text[0])
            memcpy(out->text, record->text, strlen(record->text) + 1);
    }
    free(record->text);
    delete record;
}

bool CJob::AddOpenedPath(const char* path) {
    PathRecord* record = new (std::nothrow) PathRecord;
    if (!record)
        return false;
    record->finished = false;
    if (!record->path.Assign(path) || !m_paths.AddTail(record)) {
        delete record;
        return false;
    }
    return true;
}

void CJob::MarkPathFinished(const char* path) {
    for (ovCPtrList::Node* node = m_paths.HeadNode(); node; node = node->next) {
        PathRecord* record = static_cast<PathRecord*>(node->element);
        if (record->path.Equals(path)) {
            record->finished = true;
            return;
        }
    }
}

bool CJob::OpenedPathAt(int32_t index, ovCString* path, bool* finished) {
    PathRecord* record = static_cast<PathRecord*>(m_paths.GetAt(index));
    if (!record)
        return false;
    if (path)
        path->Assign(record->path);
    if (finished)
        *finished = record->finished;
    return true;
}
