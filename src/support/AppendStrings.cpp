#include "support/AppendStrings.h"

#include <algorithm>
#include <new>

namespace mailvane {

void AppendStrings::Grow(std::size_t extra) {
    const std::size_t capacity = std::max({size_ + extra, capacity_ * 2, capacity_ + growthStep});
    // realloc moves a large buffer by remapping its pages rather than copying
    // them, so a message of hundreds of megabytes never needs twice its size.
    void* data = std::realloc(data_.get(), capacity);
    if (!data) throw std::bad_alloc();
    data_.release();
    data_.reset(static_cast<char*>(data));
    capacity_ = capacity;
}

AppendStrings::Bytes AppendStrings::Take() {
    Bytes taken = std::move(data_);
    const std::size_t room = std::min<std::size_t>(capacity_, std::size_t(1) << 14);
    size_ = capacity_ = 0;
    if (room > 0) Grow(room);
    return taken;
}

void AppendStrings::Release() {
    data_.reset();
    capacity_ = 0;
    size_ = 0;
}

}  // namespace mailvane
