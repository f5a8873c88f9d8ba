// SpeedMeter.h - the download rate over the last few seconds.

#ifndef BREVIK_REPAIR_SPEEDMETER_H
#define BREVIK_REPAIR_SPEEDMETER_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

#include "CoreThreads.h"

namespace brevik {
namespace repair {

class SpeedMeter {
public:
    explicit SpeedMeter(std::chrono::milliseconds window) : m_window(window) {}

    // The download starts: the rate counts from now.
    void Begin();
    void Add(uint64_t bytes);
    uint64_t BytesPerSecond();

private:
    void Forget(Clock::time_point now);

    const std::chrono::milliseconds m_window;
    Monitor m_lock;
    std::deque<std::pair<Clock::time_point, uint64_t>> m_samples;
    uint64_t m_inWindow = 0;
    Clock::time_point m_first{};
    bool m_started = false;
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_SPEEDMETER_H
