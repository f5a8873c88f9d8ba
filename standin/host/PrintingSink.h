// PrintingSink.h: the host's IRepairEventSink.  Every call becomes one line:
//
//   OnProgress <percent> <text>
//   OnSuccess
//   OnFail <text>
//   OnMessage flags=<flags> answer=<answer> caption=<caption> text=<text>
//
// The first OnSuccess or OnFail sets the "finished" event; an OnProgress text
// that contains the stop text (or equals it, when asked so) sets the "stop
// requested" event.  The host's
// own thread waits for them: a sink never calls back into the plug-in (its
// stop waits for the very thread that calls the sink).
#ifndef BREVIK_STANDIN_HOST_PRINTING_SINK_H
#define BREVIK_STANDIN_HOST_PRINTING_SINK_H

#include <atomic>
#include <string>

#include <fund/win/handle.h>

#include "LineWriter.h"
#include "MORLRepair.h"

enum class RepairOutcome { kNone, kSuccess, kFailure };

// The lines, apart from writing them, so that their form is tested on its own.
std::string ProgressLine(int percent, const wchar_t* text);
std::string SuccessLine();
std::string FailLine(const wchar_t* text);
std::string MessageLine(const wchar_t* text, const wchar_t* caption, unsigned int flags, int answer);

class PrintingSink final : public IRepairEventSink {
public:
    PrintingSink(LineWriter& out, int message_answer, std::wstring stop_on, bool stop_exact = false);
    PrintingSink(const PrintingSink&) = delete;
    PrintingSink& operator=(const PrintingSink&) = delete;
    ~PrintingSink() = default;

    int OnProgress(int percent, const wchar_t* text) override;
    int OnSuccess() override;
    int OnFail(const wchar_t* text) override;
    int OnMessage(const wchar_t* text, const wchar_t* caption, unsigned int flags) override;

    bool Ready() const { return finished_ && stop_requested_; }
    HANDLE FinishedEvent() const { return finished_.get(); }
    HANDLE StopRequestedEvent() const { return stop_requested_.get(); }
    RepairOutcome Outcome() const { return outcome_.load(); }

private:
    void Finish(RepairOutcome outcome);

    LineWriter& out_;
    const int message_answer_;
    const std::wstring stop_on_;
    const bool stop_exact_;
    fund::win::unique_handle finished_;
    fund::win::unique_handle stop_requested_;
    std::atomic<RepairOutcome> outcome_{RepairOutcome::kNone};
};

#endif  // BREVIK_STANDIN_HOST_PRINTING_SINK_H
