#pragma once
// The growable byte buffer in which one message's text is collected.
//
// Appends cost time in proportion to the piece appended: the buffer grows
// geometrically, and never by less than growthStep bytes, so a message of many
// small pieces (lines or blocks) is joined in linear time. Bytes are kept
// exactly, NUL and CR included.
#include <cstddef>
#include <string>
#include <string_view>

namespace mailvane {

class AppendStrings {
public:
    static constexpr std::size_t growthStep = 10000;

    void AddToString(std::string_view piece) {
        if (piece.size() > bytes_.capacity() - bytes_.size()) Grow(piece.size());
        bytes_.append(piece);
    }
    void AddChar(char c) {
        if (bytes_.size() == bytes_.capacity()) Grow(1);
        bytes_.push_back(c);
    }

    // The text collected so far; valid until the next append or Reset.
    std::string_view ReturnString() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    std::size_t capacity() const { return bytes_.capacity(); }

    // Starts a new, empty text. A buffer that grew large for one big message is
    // given back, so memory after a large message returns to a small bound.
    void Reset();

private:
    void Grow(std::size_t extra);
    std::string bytes_;
};

}  // namespace mailvane
