#include "support/AppendStrings.h"

#include <algorithm>

namespace mailvane {

namespace {
// Buffers up to this size are kept across messages; larger ones are released.
constexpr std::size_t kKeepCapacity = 4u << 20;
}  // namespace

void AppendStrings::Grow(std::size_t extra) {
    const std::size_t need = bytes_.size() + extra;
    const std::size_t doubled = bytes_.capacity() * 2;
    bytes_.reserve(std::max({need, doubled, bytes_.capacity() + growthStep}));
}

void AppendStrings::Reset() {
    if (bytes_.capacity() > kKeepCapacity) {
        std::string().swap(bytes_);
    } else {
        bytes_.clear();
    }
}

}  // namespace mailvane
