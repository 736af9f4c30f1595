#pragma once
// Cuts a mailbox's bytes into messages.
//
// A separator is a line whose first five bytes are "From " at the start of the
// mailbox or after a line break (CR LF, LF or a lone CR). Every separator ends
// the message before it, wherever the pieces fed in happen to be cut, so the
// result does not depend on how the mailbox is read. Line breaks are made
// uniform as the text is collected (CR LF or LF, the caller's choice); a CR LF
// pair cut between two pieces is one break. No other byte is changed.
//
// Text before the first separator stays at the head of message 1, unless it is
// only blank lines, which are dropped. A mailbox with no separator at all is
// one message when its first line is a header field, and otherwise is not a
// mailbox: nothing is written for it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "support/AppendStrings.h"

namespace mailvane {

enum class LineEnd { CrLf, Lf };

// Decides, from text fed in any pieces, whether its first non-blank line is a
// header field ("Name:"). Only the first few bytes are ever looked at.
class HeaderStartCheck {
public:
    void Feed(std::string_view text);
    bool IsHeader() const { return state_ == State::Header; }
    void Reset() { state_ = State::LineStart; }

private:
    enum class State : unsigned char { LineStart, LineBlanks, Name, AfterName, Header, NoHeader };
    State state_ = State::LineStart;
};

// One message as cut from a mailbox.
struct CutMessage {
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    std::string_view text;  // the whole message, line breaks made uniform
    // Where its separator line starts in `text` and how long it is with its
    // line break; separatorAt is npos for a mailbox that has no separator.
    std::size_t separatorAt = npos;
    std::size_t separatorLength = 0;
    // The buffer `text` lies in, whose bytes a sink that keeps the message
    // may take (AppendStrings::Take) rather than copy; `text` is then in
    // the bytes taken, at the same offset. Null when there is none to take.
    AppendStrings* buffer = nullptr;
    // The message outgrew the size limit; its text was not kept.
    bool tooLarge = false;
    std::size_t sizeLimit = 0;

    std::string_view separatorLine() const;  // without its line break
    std::string_view beforeSeparator() const;
    std::string_view afterSeparator() const;
};

class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void WriteMessage(const CutMessage& message) = 0;
};

enum class MailboxShape {
    Mailbox,        // one or more separators
    SingleMessage,  // no separator, but it starts with a header field
    Empty,          // nothing but blank lines, or nothing at all
    NotAMailbox,    // no separator and no header at its start
};

class MessageSplitter {
public:
    static constexpr std::size_t kDefaultMaxMessageBytes = std::size_t(2) << 30;

    MessageSplitter(LineEnd lineEnd, MessageSink& sink,
                    std::size_t maxMessageBytes = kDefaultMaxMessageBytes);

    // Feeds the next piece of the mailbox; writes every message it completes.
    void SaveMBOXFile(std::string_view block);
    // End of the mailbox: writes the message still being collected and tells
    // what the mailbox turned out to be. The splitter is then ready for the
    // next mailbox.
    MailboxShape Finish();
    // Drops the message being collected without writing it (reading stopped
    // part way) and makes the splitter ready for the next mailbox.
    void Abandon();

    // Bytes of the message being collected, for callers that report it.
    std::size_t pendingBytes() const { return messageBuilder_.size(); }

private:
    void Split(std::string_view block);
    void Append(const char* bytes, std::size_t count);
    void LineBreak();
    void SeparatorStarts();
    void Emit(std::size_t skip = 0);
    void ResetMailbox();

    MessageSink& sink_;
    const std::string_view lineEnd_;
    const std::size_t maxMessageBytes_;
    AppendStrings messageBuilder_;

    bool bomChecked_ = false;  // the start of the mailbox was checked for a byte-order mark
    std::size_t bomSeen_ = 0;  // its bytes seen so far
    bool atLineStart_ = true;
    bool skipLineFeed_ = false;  // last byte was a CR; an LF next is part of its break
    char head_[5] = {};          // start of a line that may still become "From "
    std::size_t headLength_ = 0;

    bool sawSeparator_ = false;
    bool inSeparatorLine_ = false;
    std::size_t separatorAt_ = 0;
    std::size_t separatorLength_ = 0;
    bool tooLarge_ = false;
    bool preambleBlank_ = true;
    HeaderStartCheck headerStart_;  // of the text before any separator
};

// Bytes of the blank lines (spaces and tabs only) at the start of `text`.
std::size_t LeadingBlankLines(std::string_view text);

// True when the first non-blank line of `text` is a header field ("Name:").
bool StartsWithHeaderField(std::string_view text);

}  // namespace mailvane
