#include "app/EventPacer.h"

#include <utility>

namespace mailvane {

EventPacer::EventPacer(Work work, std::chrono::milliseconds interval, Clock clock)
    : work_(std::move(work)), interval_(interval), clock_(std::move(clock)) {}

bool EventPacer::Tick() {
    const auto now = clock_();
    if (ran_ && now - last_ < interval_) return false;
    work_();
    // Measured after the work: time spent in event handlers (a message box
    // left open) does not count as time the run has been working.
    last_ = clock_();
    ran_ = true;
    return true;
}

}  // namespace mailvane
