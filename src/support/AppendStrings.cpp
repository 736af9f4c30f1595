#include "support/AppendStrings.h"

#include <algorithm>

namespace mailvane {

namespace {
// Buffers up to this size are kept across messages; larger ones are released.
constexpr std::size_t kKeepCapacity = 4u << 20;
}  // namespace

void AppendStrings::Grow(std::size_t extra) {
    const std::size_t capacity = std::max({size_ + extra, capacity_ * 2, capacity_ + growthStep});
    // new char[] leaves the bytes uninitialised: only the used part is copied.
    std::unique_ptr<char[]> data(new char[capacity]);
    if (size_) std::memcpy(data.get(), data_.get(), size_);
    data_ = std::move(data);
    capacity_ = capacity;
}

void AppendStrings::Reset() {
    if (capacity_ > kKeepCapacity) {
        data_.reset();
        capacity_ = 0;
    }
    size_ = 0;
}

}  // namespace mailvane
