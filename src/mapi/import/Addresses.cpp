#include "mapi/import/Addresses.h"

#include <cstdint>

#include "mapi/format/Text.h"

namespace mailvane::mapi::import {
namespace {

void PutUint32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

std::string OneOffEntryId(std::string_view name, std::string_view type, std::string_view address) {
    // Flags, the one-off provider's UID, version 0, then the flag word in
    // network order: MIME format (0x0100) and Unicode strings (0x0080).
    static constexpr unsigned char kHead[] = {0,    0,    0,    0,    0x81, 0x2B, 0x1F, 0xA4,
                                              0xBE, 0xA3, 0x10, 0x19, 0x9D, 0x6E, 0x00, 0xDD,
                                              0x01, 0x0F, 0x54, 0x02, 0,    0,    0x01, 0x80};
    std::string id(reinterpret_cast<const char*>(kHead), sizeof kHead);
    for (std::string_view part : {name, type, address}) {
        id += format::Utf16FromUtf8(part);
        id += std::string(2, '\0');
    }
    return id;
}

std::string AddressSearchKey(std::string_view type, std::string_view address) {
    std::string key;
    key.reserve(type.size() + address.size() + 2);
    key.append(type).append(1, ':').append(address);
    for (char& c : key)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    key += '\0';
    return key;
}

std::string FlatEntryList(const std::vector<std::string>& entryIds) {
    std::string entries;
    for (const std::string& id : entryIds) {
        PutUint32(entries, static_cast<uint32_t>(id.size()));
        entries += id;
        entries.append((4 - id.size() % 4) % 4, '\0');
    }
    std::string list;
    PutUint32(list, static_cast<uint32_t>(entryIds.size()));
    PutUint32(list, static_cast<uint32_t>(entries.size()));
    return list + entries;
}

}  // namespace mailvane::mapi::import
