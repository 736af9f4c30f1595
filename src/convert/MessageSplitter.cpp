#include "convert/MessageSplitter.h"

#include <algorithm>
#include <cstring>

namespace mailvane {

namespace {

constexpr char kFrom[5] = {'F', 'r', 'o', 'm', ' '};
constexpr char kUtf8Bom[3] = {'\xEF', '\xBB', '\xBF'};

bool IsBlankByte(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool AllBlank(const char* bytes, std::size_t count) {
    return std::all_of(bytes, bytes + count, IsBlankByte);
}

}  // namespace

std::string_view CutMessage::separatorLine() const {
    if (separatorAt == npos) return {};
    auto line = text.substr(separatorAt, separatorLength);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

std::string_view CutMessage::beforeSeparator() const {
    return separatorAt == npos ? std::string_view() : text.substr(0, separatorAt);
}

std::string_view CutMessage::afterSeparator() const {
    return separatorAt == npos ? text : text.substr(separatorAt + separatorLength);
}

void HeaderStartCheck::Feed(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool blank = c == ' ' || c == '\t';
        const bool lineBreak = c == '\r' || c == '\n';
        const bool nameByte = byte >= 33 && byte <= 126 && c != ':';
        switch (state_) {
            case State::LineStart:
                if (blank) {
                    state_ = State::LineBlanks;
                } else if (!lineBreak) {
                    state_ = nameByte ? State::Name : State::NoHeader;
                }
                break;
            case State::LineBlanks:
                // A blank line is skipped; a line that starts with a blank and
                // holds more is no header field.
                if (lineBreak) {
                    state_ = State::LineStart;
                } else if (!blank) {
                    state_ = State::NoHeader;
                }
                break;
            case State::Name:
            case State::AfterName:
                if (c == ':') {
                    state_ = State::Header;
                } else if (blank) {
                    state_ = State::AfterName;
                } else if (!nameByte || state_ == State::AfterName) {
                    state_ = State::NoHeader;
                }
                break;
            case State::Header:
            case State::NoHeader:
                return;
        }
    }
}

std::size_t LeadingBlankLines(std::string_view text) {
    std::size_t kept = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\n' ||
            (text[at] == '\r' && (at + 1 == text.size() || text[at + 1] != '\n'))) {
            kept = at + 1;
        } else if (!IsBlankByte(text[at])) {
            break;
        }
    }
    return kept;
}

bool StartsWithHeaderField(std::string_view text) {
    HeaderStartCheck check;
    check.Feed(text);
    return check.IsHeader();
}

MessageSplitter::MessageSplitter(LineEnd lineEnd, MessageSink& sink, std::size_t maxMessageBytes)
    : sink_(sink),
      lineEnd_(lineEnd == LineEnd::CrLf ? std::string_view("\r\n") : std::string_view("\n")),
      maxMessageBytes_(maxMessageBytes) {}

void MessageSplitter::Append(const char* bytes, std::size_t count) {
    if (count == 0) return;
    // What the text before a separator is must be known even once its bytes
    // are no longer kept, and whatever pieces it came in.
    if (!sawSeparator_) {
        if (preambleBlank_ && !AllBlank(bytes, count)) preambleBlank_ = false;
        headerStart_.Feed(std::string_view(bytes, count));
    }
    if (tooLarge_) return;
    if (count > maxMessageBytes_ - std::min(maxMessageBytes_, messageBuilder_.size())) {
        // The message is given up alone: its text is dropped until the next
        // separator, and the writer is told it was too large.
        tooLarge_ = true;
        messageBuilder_.Release();
        return;
    }
    messageBuilder_.AddToString(std::string_view(bytes, count));
}

void MessageSplitter::LineBreak() {
    Append(lineEnd_.data(), lineEnd_.size());
    if (inSeparatorLine_) {
        separatorLength_ = messageBuilder_.size() - separatorAt_;
        inSeparatorLine_ = false;
    }
}

void MessageSplitter::SeparatorStarts() {
    if (sawSeparator_) {
        Emit();
    } else {
        sawSeparator_ = true;
        if (preambleBlank_) {
            messageBuilder_.Reset();
            tooLarge_ = false;
        }
    }
    separatorAt_ = messageBuilder_.size();
    separatorLength_ = 0;
    inSeparatorLine_ = true;
}

void MessageSplitter::Emit(std::size_t skip) {
    if (inSeparatorLine_) {
        separatorLength_ = messageBuilder_.size() - separatorAt_;
        inSeparatorLine_ = false;
    }
    CutMessage message;
    message.tooLarge = tooLarge_;
    message.sizeLimit = maxMessageBytes_;
    if (!tooLarge_) {
        message.text = messageBuilder_.ReturnString().substr(skip);
        message.buffer = &messageBuilder_;
        if (sawSeparator_) {
            message.separatorAt = separatorAt_;
            message.separatorLength = separatorLength_;
        }
    }
    sink_.WriteMessage(message);
    messageBuilder_.Reset();
    tooLarge_ = false;
}

void MessageSplitter::SaveMBOXFile(std::string_view block) {
    if (!bomChecked_) {
        // A byte-order mark at the very start belongs to no message; left in,
        // it would hide the first separator and merge two messages.
        while (!block.empty() && bomSeen_ < sizeof kUtf8Bom && block[0] == kUtf8Bom[bomSeen_]) {
            ++bomSeen_;
            block.remove_prefix(1);
        }
        if (bomSeen_ < sizeof kUtf8Bom && block.empty()) return;  // the piece ended inside it
        bomChecked_ = true;
        if (bomSeen_ < sizeof kUtf8Bom) Split(std::string_view(kUtf8Bom, bomSeen_));
    }
    Split(block);
}

void MessageSplitter::Split(std::string_view block) {
    const char* p = block.data();
    const char* const end = p + block.size();
    const char* nextLineFeed = nullptr;  // cached search result within this block
    // Most mailboxes have LF line ends: one search per block spares a search
    // for CR on every line.
    const bool blockHasCr = !block.empty() && std::memchr(p, '\r', block.size()) != nullptr;

    while (p < end) {
        if (skipLineFeed_) {
            skipLineFeed_ = false;
            if (*p == '\n') {
                ++p;
                continue;
            }
        }
        if (atLineStart_) {
            if (headLength_ == 0 && end - p >= 5) {
                atLineStart_ = false;
                if (std::memcmp(p, kFrom, 5) == 0) SeparatorStarts();
            } else if (*p == kFrom[headLength_]) {
                // The line start is cut by the end of the piece: hold the bytes
                // until it is known which message they belong to.
                head_[headLength_++] = *p++;
                if (headLength_ == 5) {
                    atLineStart_ = false;
                    headLength_ = 0;
                    SeparatorStarts();
                    Append(kFrom, 5);
                }
                continue;
            } else {
                atLineStart_ = false;
                Append(head_, headLength_);
                headLength_ = 0;
            }
        }
        // Copy up to the next line break.
        if (nextLineFeed == nullptr || nextLineFeed < p) {
            nextLineFeed = static_cast<const char*>(std::memchr(p, '\n', end - p));
            if (nextLineFeed == nullptr) nextLineFeed = end;
        }
        const char* brk =
            blockHasCr ? static_cast<const char*>(std::memchr(p, '\r', nextLineFeed - p)) : nullptr;
        if (brk == nullptr) brk = nextLineFeed;
        const auto count = static_cast<std::size_t>(brk - p);
        if (brk == end) {
            Append(p, count);
            break;
        }
        const std::size_t room =
            maxMessageBytes_ - std::min(maxMessageBytes_, messageBuilder_.size());
        if (sawSeparator_ && !tooLarge_ && !inSeparatorLine_ && count + 2 <= room) {
            // The common case: an ordinary line inside a message.
            messageBuilder_.AddLine(p, count, lineEnd_);
        } else {
            Append(p, count);
            LineBreak();
        }
        skipLineFeed_ = (*brk == '\r');
        atLineStart_ = true;
        p = brk + 1;
    }
}

MailboxShape MessageSplitter::Finish() {
    if (!bomChecked_) {
        bomChecked_ = true;
        Split(std::string_view(kUtf8Bom, bomSeen_));
    }
    if (headLength_ > 0) {
        Append(head_, headLength_);
        headLength_ = 0;
    }
    MailboxShape shape;
    if (sawSeparator_) {
        Emit();
        shape = MailboxShape::Mailbox;
    } else if (preambleBlank_) {
        shape = MailboxShape::Empty;
    } else if (headerStart_.IsHeader()) {
        // Blank lines before the header would make every reader see a
        // message without headers: they go, as a blank preamble does.
        Emit(LeadingBlankLines(messageBuilder_.ReturnString()));
        shape = MailboxShape::SingleMessage;
    } else {
        shape = MailboxShape::NotAMailbox;
    }
    ResetMailbox();
    return shape;
}

void MessageSplitter::Abandon() {
    ResetMailbox();
}

void MessageSplitter::ResetMailbox() {
    // A buffer grown for a large message is kept from message to message, but
    // not beyond the mailbox.
    messageBuilder_.Release();
    bomChecked_ = false;
    bomSeen_ = 0;
    atLineStart_ = true;
    skipLineFeed_ = false;
    headLength_ = 0;
    sawSeparator_ = false;
    inSeparatorLine_ = false;
    separatorAt_ = separatorLength_ = 0;
    tooLarge_ = false;
    preambleBlank_ = true;
    headerStart_.Reset();
}

}  // namespace mailvane
