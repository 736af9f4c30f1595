#include "mapi/import/FieldList.h"

#include <algorithm>

#include "mapi/import/AsciiCase.h"

namespace mailvane::mapi::import {

std::string_view FieldName(std::string_view line) {
    size_t end = 0;
    while (end < line.size() && line[end] > ' ' && line[end] < 0x7F && line[end] != ':') ++end;
    size_t i = end;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    return i < line.size() && line[i] == ':' ? line.substr(0, end) : std::string_view();
}

bool IsMimeField(std::string_view name) {
    constexpr std::string_view kContent = "Content-";
    return (name.size() > kContent.size() &&
            SameIgnoringCase(name.substr(0, kContent.size()), kContent)) ||
           SameIgnoringCase(name, "MIME-Version");
}

void FieldList::Begin(std::string_view name) {
    if (open_) text_ += '\0';
    fields_.push_back({text_.size(), name.size(), text_.size() + name.size() + 1});
    text_.append(name);
    text_ += '\0';
    open_ = true;
}

void FieldList::Append(std::string_view value) {
    const size_t at = text_.size();
    text_.append(value);
    if (value.find('\0') != std::string_view::npos)
        std::replace(text_.begin() + static_cast<std::ptrdiff_t>(at), text_.end(), '\0', ' ');
}

FieldList FieldList::FromBlock(std::string_view block) {
    FieldList list;
    list.text_.reserve(block.size() + 64);
    bool inField = false;
    for (size_t pos = 0; pos < block.size();) {
        size_t next = block.find('\n', pos);
        next = next == std::string_view::npos ? block.size() : next + 1;
        const std::string_view line = block.substr(pos, next - pos);
        pos = next;
        if (line[0] == ' ' || line[0] == '\t') {
            // A fold belongs to the field above it, if that was one.
            if (inField) list.Append(line);
            continue;
        }
        const std::string_view name = FieldName(line);
        inField = !name.empty();
        if (!inField) continue;
        list.Begin(name);
        list.Append(line.substr(line.find(':', name.size()) + 1));
    }
    if (list.open_) list.text_ += '\0';
    list.open_ = false;
    return list;
}

FieldList FieldList::FromObject(GMimeObject* object) {
    FieldList list;
    GMimeHeaderList* headers = object ? g_mime_object_get_header_list(object) : nullptr;
    const int count = headers ? g_mime_header_list_get_count(headers) : 0;
    for (int i = 0; i < count; ++i) {
        GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
        const char* name = g_mime_header_get_name(header);
        const char* raw = g_mime_header_get_raw_value(header);
        if (!name || !raw) continue;
        list.Begin(name);
        list.Append(raw);
    }
    if (list.open_) list.text_ += '\0';
    list.open_ = false;
    return list;
}

const char* FieldList::First(std::string_view name) const {
    for (const Field& f : fields_)
        if (SameIgnoringCase(std::string_view(text_.data() + f.name, f.nameLength), name))
            return text_.data() + f.value;
    return nullptr;
}

std::vector<const char*> FieldList::All(std::string_view name) const {
    std::vector<const char*> values;
    for (const Field& f : fields_)
        if (SameIgnoringCase(std::string_view(text_.data() + f.name, f.nameLength), name))
            values.push_back(text_.data() + f.value);
    return values;
}

}  // namespace mailvane::mapi::import
