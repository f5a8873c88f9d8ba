// workers.h - running per-file work of one archive on several threads.

#ifndef QOV_WORKERS_H
#define QOV_WORKERS_H

#include <cstddef>
#include <functional>
#include <string>

#include "archive.h"

namespace qov {

// Opens a worker's own handle, prepared as the primary one was (e.g. with
// the same patches attached).  On failure: false, with the message in
// *FAILURE and the library's error number in *ERROR.  Called on the worker
// threads, at the same time.
typedef std::function<bool(ArchiveHandle* archive, std::string* failure, uint32_t* error)> HandleOpener;

// An opener of read-only handles of the chain CHAIN (OpenChain).
HandleOpener ChainOpener(const ChainSpec& chain);

// Runs TASK(ha, i) once for every i in [0, COUNT) on up to THREADS threads.
// Archive handles are never shared between threads: each thread opens its
// own handle with OPEN (one thread alone uses PRIMARY, which is open
// already; with several threads PRIMARY is closed).  PROGRESS, when given,
// is called on the calling thread with the number of tasks done so far.
// Returns false when no thread could open the archive; tasks never reached
// are then not run.
bool ForEachOnWorkers(const HandleOpener& open, size_t count, size_t threads, ArchiveHandle* primary,
                      const std::function<void(TNQOVArchive*, size_t)>& task,
                      const std::function<void(size_t)>& progress = nullptr);

// The same with read-only handles of the archive at PATH alone.
bool ForEachOnWorkers(const std::string& path, size_t count, size_t threads, ArchiveHandle* primary,
                      const std::function<void(TNQOVArchive*, size_t)>& task,
                      const std::function<void(size_t)>& progress = nullptr);

// The default number of threads: the machine's cores.
size_t DefaultJobs();

}  // namespace qov

#endif  // QOV_WORKERS_H
