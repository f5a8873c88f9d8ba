// progress.cpp - the progress bar.

#include "progress.h"

#include <cstdio>

namespace qov {

void ProgressBar::Update(const std::string& label, uint64_t done, uint64_t total) {
    if (!enabled_) return;
    const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
    if (drawn_ && label == label_ && percent == percent_) return;
    if (drawn_ && label != label_) std::fputc('\n', stderr);
    label_ = label;
    percent_ = percent;
    const int kWidth = 30;
    const int filled = percent * kWidth / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '-');
    std::fprintf(stderr, "\r%-14s [%s] %3d%%  %llu/%llu", label.c_str(), bar.c_str(), percent,
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressBar::Finish() {
    if (!enabled_ || !drawn_) return;
    std::fputc('\n', stderr);
    std::fflush(stderr);
    drawn_ = false;
    percent_ = -1;
}

}  // namespace qov
