/*
 * SwarmFetch library: the flat call interface of the download library.
 *
 * Every entry point returns a library result code (SF_RESULT_*). Work that
 * finishes later is reported as an event: the message SWARMFETCH_WM_EVENT is
 * posted to the host window (WPARAM the event code, LPARAM the handle) and then
 * the host callback is called with the same code and handle. The host fetches
 * the event's record with the matching query entry point.
 *
 * Threads: call every entry point on the host's user-interface thread. Events
 * are raised on the library thread (event 528 on the calling thread), so a
 * host callback must be ready to run there.
 *
 * Usable from C and C++. On POSIX there is no window system: HWND is an opaque
 * pointer there, nothing is posted, and only the callback is called.
 */
#ifndef SWARMFETCH_H
#define SWARMFETCH_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The same opaque handle type that <windows.h> declares (STRICT). */
#ifndef _WINDEF_
struct HWND__;
typedef struct HWND__* HWND;
#endif

/* Result codes of the entry points. */
#define SF_RESULT_OK 512
#define SF_RESULT_NO_URL 513
#define SF_RESULT_BAD_FOLDER 514
#define SF_RESULT_ALREADY_RUNNING 515
#define SF_RESULT_NOT_RUNNING 516
#define SF_RESULT_FAILED 517
#define SF_RESULT_ALREADY_INITIALIZED 518
#define SF_RESULT_OFFLINE 519 /* internal start of the engine downloader only */
#define SF_RESULT_BAD_SIZE 520

/* The window message of every event. */
#define SWARMFETCH_WM_EVENT 0x2B10

/* Event codes (WPARAM of SWARMFETCH_WM_EVENT, first callback argument). */
#define SF_EVENT_SIZE_INFO 513              /* job: SwarmFetch_GetSizeInfo */
#define SF_EVENT_PROGRESS 514               /* job: SwarmFetch_GetProgress */
#define SF_EVENT_FILE_DONE 515              /* job: SwarmFetch_GetFileDone */
#define SF_EVENT_JOB_DONE 516               /* job: SwarmFetch_GetJobDone */
#define SF_EVENT_MESSAGE 517                /* job: SwarmFetch_PopMessage */
#define SF_EVENT_ENGINE_UPDATE_STARTED 518  /* 0 */
#define SF_EVENT_ENGINE_UPDATE_PROGRESS 519 /* 0 */
#define SF_EVENT_ENGINE_READY 520           /* 0 */
#define SF_EVENT_ENGINE_FAILED 521          /* 0 */
#define SF_EVENT_DATA_DONE 522              /* 0: SwarmFetch_GetData */
#define SF_EVENT_DATA_FAILED 523            /* 0 */
#define SF_EVENT_RESUME_QUESTION 524        /* job: SwarmFetch_ResumeReply */
#define SF_EVENT_SIZE_CHECK_DONE 525        /* 0: SwarmFetch_GetSizeCheckTotal */
#define SF_EVENT_SIZE_CHECK_FAILED 526      /* 0 */
#define SF_EVENT_ENGINE_PATH_FAILED 527     /* job manager */
#define SF_EVENT_DOWNLOAD_PATH_FAILED 528   /* job manager */
#define SF_EVENT_DATA_TICK 529              /* 0 */
#define SF_EVENT_ENGINE_STATE 530           /* 0 */

/* Codes of the messages queued for SF_EVENT_MESSAGE. An empty queue pops
 * SF_MSG_NONE, which matches no message. */
#define SF_MSG_NONE 512
#define SF_MSG_DISK_FULL 513      /* text: the file's path */
#define SF_MSG_NETWORK_LOST 515   /* connection lost or poor */
#define SF_MSG_NETWORK_BACK 516   /* connection is back */
#define SF_MSG_FAILED 517         /* text, when present: what failed */
#define SF_MSG_ENGINE_GAVE_UP 518 /* the job continues in the plain downloader */

/* Called with (event code, handle, user pointer given to SwarmFetch_Initialize). */
typedef void (*SwarmFetchEventCallback)(uint32_t event, uint32_t handle, void* user);

/* Host buffer for SwarmFetch_GetData; `size` must equal the data size. */
typedef struct SwarmFetchDataBuffer {
    void* data;
    int64_t size;
} SwarmFetchDataBuffer;

/* One queued message; `text` is a host buffer of SwarmFetch_GetMessageLength
 * bytes, or null. */
typedef struct SwarmFetchMessage {
    int32_t code;
    char* text;
} SwarmFetchMessage;

/* Event 513. */
typedef struct SwarmFetchSizeInfo {
    int32_t value;  /* reported by the file-size check */
    int32_t unused; /* never written */
    int64_t total;  /* total size found by the file-size check */
} SwarmFetchSizeInfo;

#define SF_PROGRESS_NAME_SIZE 66

/* Event 514: the job's progress, 160 bytes. */
typedef struct SwarmFetchProgress {
    int64_t total;            /* 0: total bytes of the job */
    int64_t received;         /* 8: bytes received so far */
    int32_t fileCount;        /* 16: files as the downloader counts them */
    int32_t filesDone;        /* 20: files completed */
    int32_t speed;            /* 24: bytes per second */
    int32_t unused28;         /* 28: never copied out */
    int64_t elapsed;          /* 32: seconds since the job started */
    int64_t remaining;        /* 40: estimated seconds left */
    int32_t percent;          /* 48: 0..100 */
    int32_t currentIndex;     /* 52: index of the file being downloaded */
    int64_t currentSize;      /* 56: its size */
    int64_t currentReceived;  /* 64: its bytes received */
    int64_t currentSpeed;     /* 72: same value as `speed` */
    int64_t currentRemaining; /* 80: same value as `remaining` */
    int32_t currentPercent;   /* 88: percent of that file */
    /* 92: its name, at most 65 characters; byte 157 is always 0 */
    char currentName[SF_PROGRESS_NAME_SIZE];
    char unused158[2]; /* 158 */
} SwarmFetchProgress;

#define SF_FILE_DONE_TEXT_SIZE 1024

/* Event 515: one completed file. */
typedef struct SwarmFetchFileDone {
    int32_t fileCount; /* the progress record's file count at that moment */
    int32_t sequence;  /* 1 for the job's first record, counting up */
    /* "URL,full local path", at most 1023 characters, terminated */
    char text[SF_FILE_DONE_TEXT_SIZE];
} SwarmFetchFileDone;

/* Event 516. */
typedef struct SwarmFetchJobDone {
    int32_t fileCount; /* files in the job */
    int32_t filesDone; /* completed files reported by the downloader */
    int32_t extra;     /* 0 from the plain downloader */
} SwarmFetchJobDone;

/* Life cycle. `window` and `callback` may be null; `elevate` 1 lets program
 * execution ask for elevation. 512, 518 when already initialised, 517 when
 * the library thread did not come up within 3000 ms. */
int32_t SwarmFetch_Initialize(HWND window, SwarmFetchEventCallback callback, void* user,
                              uint8_t elevate);
/* SwarmFetch_Initialize with elevate 1. */
int32_t SwarmFetch_Init(HWND window, SwarmFetchEventCallback callback, void* user);
/* Stops the library; 512, also when it was not initialised. */
int32_t SwarmFetch_Finalize(void);
/* The user pointer kept after a failed SwarmFetch_Initialize (else null). */
void* SwarmFetch_GetUserData(void);

/* One small file fetched into memory: event 522 or 523. */
int32_t SwarmFetch_DownloadData(const char* url);
int32_t SwarmFetch_RequestData(const char* url);
int32_t SwarmFetch_GetDataSize(int64_t* size);
int32_t SwarmFetch_GetData(SwarmFetchDataBuffer* buffer);

/* Size check of a set of URLs: event 525 or 526. */
int32_t SwarmFetch_AddSizeCheck(const char* url);
int32_t SwarmFetch_StartSizeCheck(void);
int32_t SwarmFetch_GetSizeCheckTotal(int64_t* total);

/* Jobs. A job handle is opaque; 0 names no job. */
int32_t SwarmFetch_CreateJob(uint32_t* job, const char* code, const char* name);
int32_t SwarmFetch_AddFileEx(uint32_t job, const char* url, const char* folder,
                             const char* fileName, int64_t expectedSize, int32_t value1,
                             int32_t value2);
int32_t SwarmFetch_AddFile(uint32_t job, const char* url, const char* folder, const char* fileName,
                           int64_t expectedSize, int32_t value1);
int32_t SwarmFetch_StartJob(uint32_t job, uint8_t useEngine);
int32_t SwarmFetch_RunJob(uint32_t job, uint8_t useEngine);
int32_t SwarmFetch_StopJob(uint32_t job);
/* SwarmFetch_StopJob; `ignored` is not used. */
int32_t SwarmFetch_StopJobEx(uint32_t job, uint32_t ignored);
int32_t SwarmFetch_DeleteJob(uint32_t job);
int32_t SwarmFetch_SetJobEngineFlag(uint32_t job);
int32_t SwarmFetch_ResumeReply(uint32_t job, uint8_t resume, uint8_t applyToAll);
int32_t SwarmFetch_SetEngineParameter(const char* text);

/* Queries that go with the events. A record that is not pending leaves `out`
 * untouched and still answers 512. */
int32_t SwarmFetch_GetSizeInfo(uint32_t job, SwarmFetchSizeInfo* out);
int32_t SwarmFetch_GetProgress(uint32_t job, SwarmFetchProgress* out);
int32_t SwarmFetch_GetFileDone(uint32_t job, SwarmFetchFileDone* out);
int32_t SwarmFetch_GetJobDone(uint32_t job, SwarmFetchJobDone* out);
/* Length of the oldest message's text plus 1, or 0 (empty queue, no text). */
int32_t SwarmFetch_GetMessageLength(uint32_t job, int32_t* length);
int32_t SwarmFetch_PopMessage(uint32_t job, SwarmFetchMessage* out);
int32_t SwarmFetch_GetRemainingBytes(uint32_t job, int64_t* bytes);

/* 512 when `bytes` <= 0 or the drive of `path` has more than `bytes` free
 * bytes; else 517. Needs no initialisation. */
int32_t SwarmFetch_CheckDiskSpace(const char* path, int64_t bytes);

/* Checks the publisher's Ed25519 signature `sig` (64 raw bytes) over the
 * `size` bytes at `data` against the public key compiled into the library.
 * 512 when it is valid, 513 when it is not or the arguments are bad (null,
 * negative size, `sigSize` other than 64), 517 when no key is compiled in.
 * Needs no initialisation. */
int32_t SwarmFetch_VerifyPublisherSignature(const void* data, int32_t size, const void* sig,
                                            int32_t sigSize);

/* Checks the publisher's signature file (what sfpublish writes beside a file
 * with ".sig" appended: the product, a serial and an Ed25519 signature over
 * both and the file) of `sigFileSize` bytes at `sigFile` for the `size`
 * bytes at `data`. 512 when it is well formed, names exactly `product` and
 * verifies with the compiled-in key; `*serial` (may be null) then gets its
 * serial, which the host compares with the highest it has taken. 513 when it
 * does not or the arguments are bad; 517 when no key is compiled in. Needs
 * no initialisation. */
int32_t SwarmFetch_VerifyPublisherFile(const void* data, int32_t size, const void* sigFile,
                                       int32_t sigFileSize, const char* product, int64_t* serial);

/* Record layouts are part of the interface. */
#ifdef __cplusplus
#define SF_STATIC_ASSERT(cond, text) static_assert(cond, text)
#else
#define SF_STATIC_ASSERT(cond, text) _Static_assert(cond, text)
#endif

SF_STATIC_ASSERT(sizeof(SwarmFetchSizeInfo) == 16, "SwarmFetchSizeInfo size");
SF_STATIC_ASSERT(offsetof(SwarmFetchSizeInfo, total) == 8, "SwarmFetchSizeInfo.total");

SF_STATIC_ASSERT(sizeof(SwarmFetchProgress) == 160, "SwarmFetchProgress size");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, received) == 8, "progress 8");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, fileCount) == 16, "progress 16");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, filesDone) == 20, "progress 20");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, speed) == 24, "progress 24");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, unused28) == 28, "progress 28");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, elapsed) == 32, "progress 32");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, remaining) == 40, "progress 40");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, percent) == 48, "progress 48");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, currentIndex) == 52, "progress 52");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, currentSize) == 56, "progress 56");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, currentReceived) == 64, "progress 64");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, currentSpeed) == 72, "progress 72");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, currentRemaining) == 80, "progress 80");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, currentPercent) == 88, "progress 88");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, currentName) == 92, "progress 92");
SF_STATIC_ASSERT(offsetof(SwarmFetchProgress, unused158) == 158, "progress 158");

SF_STATIC_ASSERT(sizeof(SwarmFetchFileDone) == 1032, "SwarmFetchFileDone size");
SF_STATIC_ASSERT(offsetof(SwarmFetchFileDone, sequence) == 4, "file done 4");
SF_STATIC_ASSERT(offsetof(SwarmFetchFileDone, text) == 8, "file done 8");

SF_STATIC_ASSERT(sizeof(SwarmFetchJobDone) == 12, "SwarmFetchJobDone size");
SF_STATIC_ASSERT(offsetof(SwarmFetchJobDone, filesDone) == 4, "job done 4");
SF_STATIC_ASSERT(offsetof(SwarmFetchJobDone, extra) == 8, "job done 8");

#undef SF_STATIC_ASSERT

#ifdef __cplusplus
}
#endif

#endif /* SWARMFETCH_H */
