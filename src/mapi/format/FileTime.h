#pragma once
// FILETIME, the time stores and message files keep: 100-nanosecond
// intervals since 1601-01-01 UTC.
#include <chrono>
#include <cstdint>

namespace mailvane::format {

// Seconds from 1601-01-01 to the Unix epoch, and FILETIME ticks a second.
constexpr int64_t kSecondsFrom1601 = 11644473600;
constexpr uint64_t kTicksPerSecond = 10'000'000;

// REQUIRES: `seconds` is on or after 1601-01-01 (seconds >= -kSecondsFrom1601).
constexpr uint64_t FileTimeFromUnix(int64_t seconds) {
    return static_cast<uint64_t>(seconds + kSecondsFrom1601) * kTicksPerSecond;
}

inline uint64_t FileTimeNow() {
    using namespace std::chrono;
    const auto micros = duration_cast<microseconds>(system_clock::now().time_since_epoch());
    return static_cast<uint64_t>(micros.count()) * 10 +
           static_cast<uint64_t>(kSecondsFrom1601) * kTicksPerSecond;
}

}  // namespace mailvane::format
