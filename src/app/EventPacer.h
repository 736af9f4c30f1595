#pragma once
// Keeps the window responsive during a run without slowing it: the run calls
// Tick() very often, and pending events are processed only when at least the
// interval has passed since they last were.
#include <chrono>
#include <functional>

namespace mailvane {

class EventPacer {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Work = std::function<void()>;

    EventPacer(Work work, std::chrono::milliseconds interval = std::chrono::milliseconds(20),
               Clock clock = std::chrono::steady_clock::now);

    // Runs the work when the interval has passed since it last ran (or it
    // never ran); true when it ran.
    bool Tick();

private:
    Work work_;
    std::chrono::milliseconds interval_;
    Clock clock_;
    bool ran_ = false;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace mailvane
