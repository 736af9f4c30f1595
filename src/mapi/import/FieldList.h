#pragma once
// A header's fields as written: each name with its raw value, what follows
// the colon with its folds and line breaks, as GMime keeps raw values. The
// import reads a message's own header this way, giving GMime only the
// Content fields it needs for the MIME structure: every other field made
// one more object for GMime to build and free, about a sixth of the
// import's time.
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/import/GMimeSupport.h"

namespace mailvane::mapi::import {

// The name of a field line: printable characters other than the colon,
// followed by any blanks (as older mail writes "Subject :") and the colon;
// empty for a line that is no field.
std::string_view FieldName(std::string_view line);
// A field GMime reads to know a part: its Content fields and MIME-Version.
bool IsMimeField(std::string_view name);

class FieldList {
public:
    // The fields of a header block as a message holds it, read where it
    // lies: the block must outlive the list. Lines that are no field, and
    // their folds, are left out; a NUL reads as a space, as it would end a
    // C string (such a field alone is copied).
    static FieldList FromBlock(std::string_view block);
    // The fields GMime read for an object (an embedded message), read where
    // GMime holds them: the object must outlive the list.
    static FieldList FromObject(GMimeObject* object);

    // The raw value of the first field of that name, if there is one.
    std::optional<std::string_view> First(std::string_view name) const;
    // The raw values of every field of that name, in order.
    std::vector<std::string_view> All(std::string_view name) const;
    bool Has(std::string_view name) const { return First(name).has_value(); }

private:
    struct Field {
        std::string_view name, value;
    };
    std::vector<Field> fields_;
    std::deque<std::string> copies_;  // values that held a NUL
};

}  // namespace mailvane::mapi::import
