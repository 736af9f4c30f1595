#pragma once
// The growable byte buffer in which one message's text is collected.
//
// Appends cost time in proportion to the piece appended: the buffer grows
// geometrically, and never by less than growthStep bytes, so a message of many
// small pieces (lines or blocks) is joined in linear time. Bytes are kept
// exactly, NUL and CR included.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace mailvane {

class AppendStrings {
public:
    static constexpr std::size_t growthStep = 10000;

    struct FreeBytes {
        void operator()(char* data) const { std::free(data); }
    };
    using Bytes = std::unique_ptr<char, FreeBytes>;

    void AddToString(std::string_view piece) {
        if (piece.empty()) return;
        if (piece.size() > capacity_ - size_) Grow(piece.size());
        std::memcpy(data_.get() + size_, piece.data(), piece.size());
        size_ += piece.size();
    }
    // A line followed by its line break (one or two bytes), with one capacity
    // check: this is the splitter's hot path.
    void AddLine(const char* bytes, std::size_t count, std::string_view lineEnd) {
        if (count + 2 > capacity_ - size_) Grow(count + 2);
        char* at = data_.get() + size_;
        if (count) std::memcpy(at, bytes, count);
        at[count] = lineEnd[0];
        if (lineEnd.size() > 1) at[count + 1] = lineEnd[1];
        size_ += count + lineEnd.size();
    }

    // The text collected so far; valid until the next append or Reset.
    std::string_view ReturnString() const { return {data_.get(), size_}; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::size_t capacity() const { return capacity_; }

    // Starts a new, empty text and keeps the capacity, so a run of large
    // messages does not fault the same memory in again for each one.
    void Reset() { size_ = 0; }
    // Starts a new, empty text and gives the memory back.
    void Release();
    // Hands the text collected over with its memory, for a reader that keeps
    // it past the next append, instead of a copy; the builder starts a new,
    // empty text in room like that of the one taken, up to 16 KB, which most
    // messages fit: the text handed over keeps the room it grew to, and a
    // queue of messages each cut into a megabyte of room held 4 MB more.
    Bytes Take();

private:
    void Grow(std::size_t extra);

    Bytes data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace mailvane
