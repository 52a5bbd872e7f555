// What the local engine reports about a job, held to what the job is: byte
// and file counts clamped to the job's own (never negative, never more than
// it holds), rates and times that cannot overflow, and a job done only when
// its files are there. The engine downloader turns each report into a job
// event through these; nothing the engine says reaches the host unchecked.
//
// Threads: functions without state of their own, called by the engine
// downloader on the library thread or under the library lock.
#pragma once

#include <stdint.h>

#include "opn/opeerqos/nwEngineMessages.h"
#include "sdk/api/SwarmFetch.h"

class CJob;
class CRateHistory;

// The job's size from its entries; -1 when one of them is unknown.
int64_t KnownJobTotal(CJob* job);

// A byte count the engine reports for the whole job: 0 to the job's known
// size (any size when unknown).
int64_t ClampedJobTotal(CJob* job, uint64_t reported);

// A count of the job's files as the engine reports it: 0 to the job's count.
int32_t EngineFileCount(uint32_t value, int32_t entries);

// The job's progress record from an engine progress report; the reported
// rates are averaged through `jobRates` and `fileRates`.
void FillEngineProgress(CJob* job, const nwEngineProgressBlock& block,
                        const nwEngineEntryReport* reports, uint32_t reportCount,
                        CRateHistory& jobRates, CRateHistory& fileRates, SwarmFetchProgress* out);

// The job's last progress record once the engine reports it done with
// `result` files, `total` bytes as it accepted the job, after `ranFor`
// seconds: the whole job received. Without a rate from the engine the speed
// is the average of what moved: the job's bytes less `kept`, those that were
// in place before it was sent.
SwarmFetchProgress FinalEngineProgress(CJob* job, uint32_t result, int64_t total, int64_t ranFor,
                                       int64_t kept);

// Bytes of the entries whose files are already there whole: a sole file at
// the entry's known size.
int64_t JobBytesInPlace(CJob* job);

// Every entry's file is there at its expected size, as a sole file (no link,
// one name; pfFile.h); entries with a hash are left to their verification.
bool JobFilesInPlace(CJob* job);
