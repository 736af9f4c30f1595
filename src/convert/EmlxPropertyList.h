#pragma once
// The property list that ends an EMLX file: an XML plist with what a mail
// program shows in its message list, taken from the message's own headers.
#include <cstdint>
#include <optional>
#include <string>

#include "convert/MessageSplitter.h"

namespace mailvane {

// Bits of the EMLX "flags" value.
enum EmlxFlag : std::int64_t {
    kEmlxRead = 1 << 0,
    kEmlxDeleted = 1 << 1,
    kEmlxAnswered = 1 << 2,
    kEmlxFlagged = 1 << 4,
    kEmlxDraft = 1 << 6,
    kEmlxForwarded = 1 << 8,
};

struct EmlxProperties {
    std::optional<long long> dateSent;  // seconds since 1970
    std::int64_t flags = 0;
    std::string subject, sender, to;  // decoded, UTF-8
};

// Properties of a message: the date from Date:, else from the separator line;
// flags from Status, X-Status and X-Mozilla-Status (read when none is there).
EmlxProperties PropertiesOf(const CutMessage& message);

// The XML text of the property list.
std::string EmlxPropertyList(const EmlxProperties& properties);

// Text made safe inside an XML element: escaped, and without the control
// characters XML 1.0 cannot carry.
std::string XmlText(const std::string& utf8);

}  // namespace mailvane
