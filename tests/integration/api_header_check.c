/* Compiled as C: the call interface must be usable from C. */
#include "sdk/api/SwarmFetch.h"

int SwarmFetchHeaderCheckC(void);

static void OnEvent(uint32_t event, uint32_t handle, void* user) {
    (void)event;
    (void)handle;
    (void)user;
}

/* Touches every type and one entry point of each group; returns the sum of
 * the record sizes so the C++ side can check it. */
int SwarmFetchHeaderCheckC(void) {
    SwarmFetchEventCallback callback = OnEvent;
    SwarmFetchDataBuffer buffer = {0, 0};
    SwarmFetchMessage message = {SF_MSG_NONE, 0};
    SwarmFetchSizeInfo sizeInfo;
    SwarmFetchProgress progress;
    SwarmFetchFileDone fileDone;
    SwarmFetchJobDone jobDone;
    HWND window = 0;
    int32_t (*initialize)(HWND, SwarmFetchEventCallback, void*, uint8_t) = SwarmFetch_Initialize;
    int32_t (*check)(const char*, int64_t) = SwarmFetch_CheckDiskSpace;
    int32_t (*verify)(const void*, int32_t, const void*, int32_t) =
        SwarmFetch_VerifyPublisherSignature;
    (void)callback;
    (void)buffer;
    (void)message;
    (void)window;
    (void)initialize;
    (void)check;
    (void)verify;
    return (int)(sizeof sizeInfo + sizeof progress + sizeof fileDone + sizeof jobDone) +
           (SWARMFETCH_WM_EVENT == 0x2B10 ? 0 : 100000);
}
