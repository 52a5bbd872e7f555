// A download job: its files, its state, the host's copy of the progress and
// the records that wait for the host's queries.
//
// Every operation runs under the library lock; jobs are reached on the host
// thread through the job manager and on the library thread through the
// downloader that holds them.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovCString.h"
#include "sdk/support/HostEvent.h"
#include "sdk/support/PathComponent.h"
#include "sdk/api/SwarmFetch.h"
#include "sdk/support/ExpectedContent.h"

const uint32_t kJobNameMax = 32;
const uint32_t kJobCodeMax = 3;
// Folders and full paths are kept below this many characters (terminator
// included); the host keeps to it, longer ones are refused.
const uint32_t kJobPathSize = 260;
// A file is written under its name plus kPartFileSuffix until it is
// complete (and, with a hash, verified); the longer path is held to
// kJobPathSize too, and no name of a job ends in that suffix.

// One file of a job, created by CJob::AddFile. The size checks and download
// sessions copy it.
struct DownloadEntry {
    int32_t index = 0;  // position in the job
    ovCString urlList;  // one URL or mirror URLs separated by '|'
    ovCString folder;   // ends in '\'
    ovCString fileName;
    char tag[kJobNameMax + 1] = {0};  // the job's name
    int64_t size = -1;                // -1 while unknown
    int64_t received = 0;             // bytes written for this entry
    int64_t startOffset = 0;          // file position when the current request was made
    int32_t value1 = 0;               // caller values, passed through
    int32_t value2 = 0;
    int32_t reportState = 0;  // kEntryReported once its completion was reported
    // The file's SHA-256 from the URL's fragment (ExpectedContent.h): the
    // file counts only when its bytes hash to it.
    bool hasSha256 = false;
    uint8_t sha256[32] = {0};
};

const int32_t kEntryReported = 2;

class CJob {
  public:
    enum : int32_t { kIdle = 0, kRunning = 1, kComplete = 2 };

    // `handle` is the value the host sees, `number` the job counter's value.
    CJob(uint32_t handle, int32_t number, const HostTarget& host);
    virtual ~CJob();
    CJob(const CJob&) = delete;
    CJob& operator=(const CJob&) = delete;

    uint32_t Handle() const { return m_handle; }
    int32_t Number() const { return m_number; }

    int32_t State() const { return m_state; }
    void SetState(int32_t state) { m_state = state; }
    int32_t UseEngine() const { return m_useEngine; }
    void SetUseEngine(int32_t useEngine) { m_useEngine = useEngine; }
    uint8_t EngineFlag() const { return m_engineFlag; }
    void SetEngineFlag(uint8_t flag) { m_engineFlag = flag; }
    // The value the engine downloader keeps for the job.
    int32_t EngineValue() const { return m_engineValue; }
    void SetEngineValue(int32_t value) { m_engineValue = value; }

    // Empty for null; longer texts are cut to kJobNameMax / kJobCodeMax.
    void SetName(const char* name);
    void SetCode(const char* code);
    const char* Name() const { return m_name; }
    const char* Code() const { return m_code; }
    // Folder of the most recently added file.
    const char* Folder() const { return m_folder; }

    // Adds one file while the job is idle: SF_RESULT_FAILED when it is not
    // idle; SF_RESULT_NO_URL without URL or without a safe name;
    // SF_RESULT_BAD_FOLDER without folder or when the folder is too long;
    // SF_RESULT_FAILED for a file already in the job (folder plus name, letter
    // case ignored) or when memory runs out; else SF_RESULT_OK.
    //
    // The name is `fileName` when given, else what follows the last '/' of the
    // URL (before its fragment); with mirrors ('|') every mirror must end in
    // the same name. It must be one safe path component (PathComponentIsSafe)
    // and folder plus name plus kPartFileSuffix must stay below kJobPathSize
    // bytes, else SF_RESULT_NO_URL. The folder itself is not touched.
    //
    // A fragment "#sha256=...&size=..." (ExpectedContent.h) gives the
    // entry its hash, and its size when `size` is -1; a bad fragment,
    // mirrors that disagree, or a size other than the host's give
    // SF_RESULT_NO_URL.
    //
    // A file refused with SF_RESULT_NO_URL or SF_RESULT_BAD_FOLDER is
    // remembered: the job is then missing a file its host meant it to have, and
    // cannot be started.
    int32_t AddFile(const char* url, const char* folder, const char* fileName, int64_t size,
                    int32_t value1, int32_t value2);

    // AddFile in two steps, so that a caller can act between the checks and
    // the adding (the job manager creates the folder) without the checks
    // running twice. Prepare answers what AddFile would answer now (a
    // refusal is remembered the same way); AddPrepared adds what a
    // successful Prepare filled in.
    struct NewFile;
    int32_t Prepare(const char* url, const char* folder, const char* fileName, int64_t size,
                    NewFile* file);
    int32_t AddPrepared(NewFile* file, int32_t value1, int32_t value2);
    // Remembers, while the job is idle, that a file for it was refused;
    // `url` (may be null) is kept for the failure message when it is the
    // first refusal.
    void NoteRefusedFile(const char* url);
    bool HasRefusedFile() const { return m_refused; }
    // The first refused file's URL as given, empty when it was none or no
    // text.
    const char* RefusedUrl() const { return m_refusedUrl.CStr(); }
    int32_t EntryCount() const { return m_entries.Count(); }
    DownloadEntry* EntryAt(int32_t index);
    // The entry whose folder plus file name is `fullPath`, letter case
    // ignored; null when none.
    DownloadEntry* FindEntry(const char* fullPath);

    // The progress record written by the downloader on each tick.
    void SetProgress(const SwarmFetchProgress& progress) { m_progress = progress; }
    const SwarmFetchProgress& Progress() const { return m_progress; }
    // Copies every field except the unused one at offset 28.
    void CopyProgress(SwarmFetchProgress* out) const;

    // Events (each stores its record first, then tells the host).
    // SF_EVENT_SIZE_INFO: only while running and before any byte was received.
    void ReportSizeInfo(int32_t value, int64_t total);
    // SF_EVENT_PROGRESS: the one-second tick; only while running with bytes
    // received.
    void Tick();
    // SF_EVENT_FILE_DONE: at most once per entry; the record's text is
    // "url,path": the whole path after the text's first comma, before it the
    // URL list with each comma written "%2C", cut (between characters) to what
    // is left.
    void ReportFileDone(const char* path, const char* urlList);
    // SF_EVENT_JOB_DONE: the final SF_EVENT_PROGRESS (when bytes were
    // received), state complete, the pending job-done record replaced.
    void ReportJobDone(int32_t filesDone, int32_t extra);
    // SF_EVENT_MESSAGE: queues the message; `text` may be null.
    void QueueMessage(int32_t code, const char* text);
    // SF_EVENT_RESUME_QUESTION: the local engine asks whether to resume.
    void AskResume();

    // Queries of the host. A record that is not pending leaves `out` as it is.
    void TakeSizeInfo(SwarmFetchSizeInfo* out);
    void TakeJobDone(SwarmFetchJobDone* out);
    void PopFileDone(SwarmFetchFileDone* out);
    // Oldest message's text length plus 1; 0 for an empty queue or no text.
    int32_t MessageLength();
    // Writes SF_MSG_NONE for an empty queue. The text is copied only into a
    // non-null buffer and only when it is not empty; the host sized the
    // buffer with MessageLength.
    void PopMessage(SwarmFetchMessage* out);
    int32_t PendingFileDoneCount() const { return m_fileDone.Count(); }
    // Entries reported done so far, each once.
    int32_t FileDoneCount() const { return m_fileDoneCounter; }
    int32_t PendingMessageCount() const { return m_messages.Count(); }

    // Files opened by the plain downloader and whether each was finished.
    bool AddOpenedPath(const char* path);
    void MarkPathFinished(const char* path);
    int32_t OpenedPathCount() const { return m_paths.Count(); }
    // False for an index out of range.
    bool OpenedPathAt(int32_t index, ovCString* path, bool* finished);

  private:
    struct IndexRecord;

    // Every check on the file's URL, folder, name and size, filling `file`.
    int32_t Resolve(const char* url, const char* folder, const char* fileName, int64_t size,
                    NewFile* file);

    struct PathRecord;
    struct MessageRecord;

    void Deliver(uint32_t code);

    ovCPtrList m_entries;  // DownloadEntry*
    ovCPtrList m_index;    // IndexRecord*: lower-cased full path -> entry
    int32_t m_state = kIdle;
    int32_t m_useEngine = 1;
    SwarmFetchProgress m_progress;
    char m_code[kJobCodeMax + 1] = {0};
    char m_name[kJobNameMax + 1] = {0};
    HostTarget m_host;
    SwarmFetchSizeInfo* m_sizeInfo = nullptr;
    SwarmFetchJobDone* m_jobDone = nullptr;
    int32_t m_number;
    int32_t m_engineValue = 0;
    ovCPtrList m_paths;     // PathRecord*
    ovCPtrList m_fileDone;  // SwarmFetchFileDone*
    ovCPtrList m_messages;  // MessageRecord*
    int32_t m_fileDoneCounter = 0;
    uint8_t m_engineFlag = 0;
    char m_folder[kJobPathSize] = {0};
    uint32_t m_handle;
    bool m_refused = false;
    ovCString m_refusedUrl;
};

// What Prepare fills in once every check passed.
struct CJob::NewFile {
    ovCString urlList;  // trimmed
    ovCString folder;   // backslashes only, final backslash
    ovCString name;
    ovCString key;       // lower-cased folder plus name
    ovCString sameFile;  // the key with the spellings of one path folded
    int64_t size = -1;   // the host's, -1 when it gave none
    ExpectedContent content;
};
