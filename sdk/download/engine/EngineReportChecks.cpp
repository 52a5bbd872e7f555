#include "sdk/download/engine/EngineReportChecks.h"

#include <string.h>

#include "opn/core/ovCString.h"
#include "opn/platform/pfFile.h"
#include "sdk/download/CJob.h"
#include "sdk/download/ByteCount.h"
#include "sdk/download/ProgressName.h"
#include "sdk/download/engine/RateHistory.h"

namespace {

int64_t Clamp(int64_t value, int64_t low, int64_t high) {
    return value < low ? low : value > high ? high : value;
}

int32_t Rate(uint32_t value) {
    return value > (uint32_t)INT32_MAX ? INT32_MAX : (int32_t)value;
}

// Seconds left at `rate`; a rate of 0 divides by 1. Never negative, even
// when the engine reports more done than in total.
int64_t SecondsLeft(int64_t total, int64_t done, int32_t rate) {
    const int64_t left = total - done;
    if (left <= 0)
        return 0;
    return left / (rate > 0 ? rate : 1);
}

int64_t Signed(uint64_t value) {
    return value > (uint64_t)INT64_MAX ? INT64_MAX : (int64_t)value;
}

}  // namespace

int64_t KnownJobTotal(CJob* job) {
    int64_t total = 0;
    for (int32_t i = 0; i < job->EntryCount(); ++i) {
        const DownloadEntry* entry = job->EntryAt(i);
        if (!entry || entry->size < 0)
            return -1;
        total = AddByteCount(total, entry->size);
    }
    return total;
}

int64_t ClampedJobTotal(CJob* job, uint64_t reported) {
    const int64_t known = KnownJobTotal(job);
    return Clamp(Signed(reported), 0, known >= 0 ? known : INT64_MAX);
}

int32_t EngineFileCount(uint32_t value, int32_t entries) {
    return (int32_t)Clamp((int64_t)value, 0, entries > 0 ? entries : 0);
}

void FillEngineProgress(CJob* job, const nwEngineProgressBlock& block,
                        const nwEngineEntryReport* reports, uint32_t reportCount,
                        CRateHistory& jobRates, CRateHistory& fileRates, SwarmFetchProgress* out) {
    memset(out, 0, sizeof *out);
    const int32_t entries = job->EntryCount();
    out->total = ClampedJobTotal(job, block.totalBytes);
    out->received = Clamp(Signed(block.bytesDone), 0, out->total);
    out->fileCount = EngineFileCount(block.counter, entries);
    out->filesDone = EngineFileCount(block.entryIndex, entries);
    out->percent = BytePercent(out->received, out->total);
    out->elapsed = Signed(block.timeStamp);
    jobRates.Add(out->elapsed, Rate(block.speed));
    out->speed = jobRates.Average();
    out->remaining = SecondsLeft(out->total, out->received, out->speed);
    const DownloadEntry* entry = nullptr;
    if (entries > 0) {
        out->currentIndex =
            block.entryIndex >= (uint32_t)entries ? entries - 1 : (int32_t)block.entryIndex;
        entry = job->EntryAt(out->currentIndex);
    }
    if (reportCount > 0) {
        const nwEngineEntryReport& first = reports[0];
        const int64_t entrySize = entry && entry->size >= 0 ? entry->size : out->total;
        out->currentSize = Clamp(Signed(first.totalBytes), 0, entrySize);
        out->currentReceived = Clamp(Signed(first.bytesDone), 0, out->currentSize);
        out->currentPercent = BytePercent(out->currentReceived, out->currentSize);
        fileRates.Add(out->elapsed, Rate(first.speed));
        const int32_t fileRate = fileRates.Average();
        out->currentSpeed = fileRate;
        out->currentRemaining = SecondsLeft(out->currentSize, out->currentReceived, fileRate);
    }
    if (!entry)
        return;
    const size_t length = entry->fileName.Length();
    memcpy(out->currentName, entry->fileName.CStr(),
           length < kProgressNameMax ? length : kProgressNameMax);
}

SwarmFetchProgress FinalEngineProgress(CJob* job, uint32_t result, int64_t total, int64_t ranFor,
                                       int64_t kept) {
    // Reports come once a second, so a short job may end before its first
    // one: the last record shows the whole job received.
    const int64_t known = KnownJobTotal(job);
    SwarmFetchProgress progress = job->Progress();
    if (known >= 0)
        progress.total = known;
    else if (progress.total < total)
        progress.total = total;
    progress.received = progress.total;
    progress.percent = 100;
    progress.remaining = 0;
    // The job's whole time, at least the second it began in; a job too
    // short for a rate report shows its average, of the bytes it moved: a
    // job whose files were all there shows none.
    if (progress.elapsed < ranFor)
        progress.elapsed = ranFor;
    if (progress.elapsed < 1)
        progress.elapsed = 1;
    if (progress.speed <= 0) {
        const int64_t moved = progress.received > kept ? progress.received - kept : 0;
        const int64_t average = moved / progress.elapsed;
        progress.speed = average > INT32_MAX ? INT32_MAX : (int32_t)average;
    }
    progress.filesDone = EngineFileCount(result, job->EntryCount());
    if (progress.fileCount < progress.filesDone)
        progress.fileCount = progress.filesDone;
    return progress;
}

int64_t JobBytesInPlace(CJob* job) {
    int64_t kept = 0;
    for (int32_t i = 0; i < job->EntryCount(); ++i) {
        const DownloadEntry* entry = job->EntryAt(i);
        ovCString path;
        if (!entry || entry->size <= 0 || !path.Assign(entry->folder) ||
            !path.Append(entry->fileName))
            continue;
        if (PfFileSoleSize(path.CStr()) == entry->size && kept <= INT64_MAX - entry->size)
            kept += entry->size;
    }
    return kept;
}

bool JobFilesInPlace(CJob* job) {
    for (int32_t i = 0; i < job->EntryCount(); ++i) {
        const DownloadEntry* entry = job->EntryAt(i);
        if (!entry)
            return false;
        if (entry->hasSha256)
            continue;
        ovCString path;
        if (!path.Assign(entry->folder) || !path.Append(entry->fileName))
            return false;
        // A link or a second name may stand for a file outside the folder:
        // only a sole file counts.
        const int64_t size = PfFileSoleSize(path.CStr());
        if (size < 0 || (entry->size >= 0 && size != entry->size))
            return false;
    }
    return true;
}
