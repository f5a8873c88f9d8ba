// workers.cpp - running per-file work of one archive on several threads.

#include "workers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "errors.h"

namespace qov {

namespace {

struct Shared {
    const HandleOpener* open;
    size_t count;
    const std::function<void(TNQOVArchive*, size_t)>* task;
    std::atomic<size_t> next{0};
    std::atomic<size_t> done{0};
    std::atomic<size_t> opened{0};
    std::atomic<size_t> running{0};
    std::mutex reportLock;  // keeps messages of different threads apart
};

// Opens the thread's own handle unless it has one.
bool OpenOwnHandle(Shared* shared, ArchiveHandle* archive) {
    if (archive->get() != nullptr) return true;
    std::string failure;
    uint32_t error = ERROR_SUCCESS;
    if ((*shared->open)(archive, &failure, &error)) return true;
    archive->Close(false);
    std::lock_guard<std::mutex> lock(shared->reportLock);
    Report("a worker " + failure);
    return false;
}

void Work(Shared* shared, ArchiveHandle* archive) {
    if (!OpenOwnHandle(shared, archive)) return;
    shared->opened++;
    for (;;) {
        const size_t i = shared->next.fetch_add(1);
        if (i >= shared->count) break;
        (*shared->task)(archive->get(), i);
        shared->done++;
    }
}

void WorkThread(Shared* shared, ArchiveHandle* archive) {
    Work(shared, archive);
    shared->running--;
}

}  // namespace

size_t DefaultJobs() { return std::max<size_t>(1, std::thread::hardware_concurrency()); }

HandleOpener ChainOpener(const ChainSpec& chain) {
    return [chain](ArchiveHandle* archive, std::string* failure, uint32_t* error) {
        return OpenChain(chain, archive, nullptr, error, failure);
    };
}

bool ForEachOnWorkers(const std::string& path, size_t count, size_t threads, ArchiveHandle* primary,
                      const std::function<void(TNQOVArchive*, size_t)>& task,
                      const std::function<void(size_t)>& progress) {
    return ForEachOnWorkers(ChainOpener(ChainSpec{path, {}}), count, threads, primary, task, progress);
}

bool ForEachOnWorkers(const HandleOpener& open, size_t count, size_t threads, ArchiveHandle* primary,
                      const std::function<void(TNQOVArchive*, size_t)>& task,
                      const std::function<void(size_t)>& progress) {
    Shared shared;
    shared.open = &open;
    shared.count = count;
    shared.task = &task;
    threads = std::min(threads, count);
    if (threads <= 1) {
        if (!OpenOwnHandle(&shared, primary)) return false;
        for (size_t i = 0; i < count; i++) {
            task(primary->get(), i);
            if (progress) progress(i + 1);
        }
        return true;
    }

    primary->Close(false);
    std::vector<ArchiveHandle> handles(threads);
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (size_t i = 0; i < threads; i++) {
        try {
            shared.running++;
            workers.emplace_back(WorkThread, &shared, &handles[i]);
        } catch (const std::system_error&) {
            shared.running--;
            break;  // no more threads to be had: the started ones do the rest
        }
    }
    if (workers.empty()) Work(&shared, &handles[0]);
    while (progress && shared.running > 0) {
        progress(shared.done);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (std::thread& worker : workers) worker.join();
    if (progress) progress(shared.done);
    return shared.opened > 0;
}

}  // namespace qov
