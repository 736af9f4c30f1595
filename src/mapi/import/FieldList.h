#pragma once
// A header's fields as written: each name with its raw value, what follows
// the colon with its folds and line breaks, as GMime keeps raw values. The
// import reads a message's own header this way, giving GMime only the
// Content fields it needs for the MIME structure: every other field made
// one more object for GMime to build and free, about a sixth of the
// import's time.
#include <cstddef>
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
    // The fields of a header block as a message holds it. Lines that are no
    // field, and their folds, are left out; a NUL reads as a space, as it
    // would end a C string.
    static FieldList FromBlock(std::string_view block);
    // The fields GMime read for an object (an embedded message).
    static FieldList FromObject(GMimeObject* object);

    // The raw value of the first field of that name, or null.
    const char* First(std::string_view name) const;
    // The raw values of every field of that name, in order.
    std::vector<const char*> All(std::string_view name) const;
    bool Has(std::string_view name) const { return First(name) != nullptr; }

private:
    void Begin(std::string_view name);
    void Append(std::string_view value);

    struct Field {
        size_t name = 0, nameLength = 0, value = 0;  // offsets into text_
    };
    std::string text_;  // each name and each value followed by a NUL
    std::vector<Field> fields_;
    bool open_ = false;  // the last field's value is still being appended
};

}  // namespace mailvane::mapi::import
