#pragma once
// What a mail program recorded about a message in its header: read,
// answered, forwarded, flagged, deleted. One reading for every format.
#include <functional>
#include <optional>
#include <string>

namespace mailvane::mapi::import {

struct MailState {
    bool read = true;
    bool answered = false;
    bool forwarded = false;
    bool flagged = false;
    bool deleted = false;
    bool draft = false;
};

// `field` gives the raw value of a header field by name, or nothing. The
// fields, strongest first: X-Mozilla-Status (Thunderbird's bits), Status
// and X-Status (mbox programs' letters), X-Gmail-Labels (Unread, Starred).
// A message that carries none of them counts as read; one with a mail
// program's field but no read mark, as unread.
MailState ReadMailState(const std::function<std::optional<std::string>(const char*)>& field);

}  // namespace mailvane::mapi::import
