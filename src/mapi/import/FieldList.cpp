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

FieldList FieldList::FromBlock(std::string_view block) {
    FieldList list;
    for (size_t pos = 0; pos < block.size();) {
        size_t next = block.find('\n', pos);
        next = next == std::string_view::npos ? block.size() : next + 1;
        const std::string_view line = block.substr(pos, next - pos);
        const size_t start = pos;
        pos = next;
        const std::string_view name = FieldName(line);
        if (name.empty()) {
            // Neither is a fold below a line that is no field.
            while (pos < block.size() && (block[pos] == ' ' || block[pos] == '\t')) {
                next = block.find('\n', pos);
                pos = next == std::string_view::npos ? block.size() : next + 1;
            }
            continue;
        }
        // The value runs on through the folds below it.
        while (pos < block.size() && (block[pos] == ' ' || block[pos] == '\t')) {
            next = block.find('\n', pos);
            pos = next == std::string_view::npos ? block.size() : next + 1;
        }
        const size_t valueAt = start + line.find(':', name.size()) + 1;
        std::string_view value = block.substr(valueAt, pos - valueAt);
        if (value.find('\0') != std::string_view::npos) {
            std::string& copy = list.copies_.emplace_back(value);
            std::replace(copy.begin(), copy.end(), '\0', ' ');
            value = copy;
        }
        list.fields_.push_back({name, value});
    }
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
        if (name && raw) list.fields_.push_back({name, raw});
    }
    return list;
}

std::optional<std::string_view> FieldList::First(std::string_view name) const {
    for (const Field& f : fields_)
        if (SameIgnoringCase(f.name, name)) return f.value;
    return std::nullopt;
}

std::vector<std::string_view> FieldList::All(std::string_view name) const {
    std::vector<std::string_view> values;
    for (const Field& f : fields_)
        if (SameIgnoringCase(f.name, name)) values.push_back(f.value);
    return values;
}

}  // namespace mailvane::mapi::import
