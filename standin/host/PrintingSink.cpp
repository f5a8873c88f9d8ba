// PrintingSink.cpp
#include "PrintingSink.h"

#include <cwchar>
#include <utility>

#include <fund/win/text.h>

std::string ProgressLine(int percent, const wchar_t* text) {
    return "OnProgress " + std::to_string(percent) + " " + fund::win::wide_to_utf8(text);
}

std::string SuccessLine() { return "OnSuccess"; }

std::string FailLine(const wchar_t* text) { return "OnFail " + fund::win::wide_to_utf8(text); }

std::string MessageLine(const wchar_t* text, const wchar_t* caption, unsigned int flags, int answer) {
    return "OnMessage flags=" + std::to_string(flags) + " answer=" + std::to_string(answer) +
           " caption=" + fund::win::wide_to_utf8(caption) + " text=" + fund::win::wide_to_utf8(text);
}

PrintingSink::PrintingSink(LineWriter& out, int message_answer, std::wstring stop_on, bool stop_exact)
    : out_(out),
      message_answer_(message_answer),
      stop_on_(std::move(stop_on)),
      stop_exact_(stop_exact),
      finished_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      stop_requested_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

int PrintingSink::OnProgress(int percent, const wchar_t* text) {
    out_.Write(ProgressLine(percent, text));
    if (!stop_on_.empty() && text &&
        (stop_exact_ ? stop_on_ == text : std::wcsstr(text, stop_on_.c_str()) != nullptr))
        SetEvent(stop_requested_.get());
    return 1;
}

int PrintingSink::OnSuccess() {
    out_.Write(SuccessLine());
    Finish(RepairOutcome::kSuccess);
    return 1;
}

int PrintingSink::OnFail(const wchar_t* text) {
    out_.Write(FailLine(text));
    Finish(RepairOutcome::kFailure);
    return 1;
}

int PrintingSink::OnMessage(const wchar_t* text, const wchar_t* caption, unsigned int flags) {
    out_.Write(MessageLine(text, caption, flags, message_answer_));
    return message_answer_;
}

void PrintingSink::Finish(RepairOutcome outcome) {
    // The first verdict counts; a later one is printed but changes nothing.
    RepairOutcome none = RepairOutcome::kNone;
    outcome_.compare_exchange_strong(none, outcome);
    SetEvent(finished_.get());
}
