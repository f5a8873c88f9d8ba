// progress.h - a one-line progress bar on standard error.

#ifndef QOV_PROGRESS_H
#define QOV_PROGRESS_H

#include <cstdint>
#include <string>

namespace qov {

// Draws "LABEL [#####-----]  50%  DONE/TOTAL" on standard error, redrawing
// the same line.  Disabled bars draw nothing, so callers need no checks.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}
    ~ProgressBar() { Finish(); }

    // Redraws only when the label or the whole percentage changed.
    void Update(const std::string& label, uint64_t done, uint64_t total);
    // Ends the current line, if one was drawn.
    void Finish();
    bool Enabled() const { return enabled_; }

private:
    bool enabled_;
    bool drawn_ = false;
    std::string label_;
    int percent_ = -1;
};

}  // namespace qov

#endif  // QOV_PROGRESS_H
