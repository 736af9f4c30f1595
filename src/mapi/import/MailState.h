#pragma once
// What a mail program recorded about a message in its header: read,
// answered, forwarded, flagged, deleted. One reading for every format.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The labels of a Gmail export (X-Gmail-Labels: commas between labels,
// quotes around one that holds a comma, encoded words for other scripts),
// each read into UTF-8 and trimmed, in their order, once each. Raw 8-bit
// text is read in `charset` when it is not UTF-8.
std::vector<std::string> GmailLabels(std::string_view raw, std::string_view charset = "");

// Whether a label is one of Gmail's own, which says where a message lies or
// what state it is in (Inbox, Sent, Opened, Starred, "Category Updates")
// rather than being one the user gave it. Any letter case.
bool IsGmailSystemLabel(std::string_view label);

}  // namespace mailvane::mapi::import
