#pragma once
// Address forms of [MS-OXCDATA] for mail that names people by SMTP address.
#include <string>
#include <string_view>
#include <vector>

namespace mailvane::mapi::import {

// A one-off entry id (Unicode strings, MIME format): what a reader replies
// to when the person is in no address book.
std::string OneOffEntryId(std::string_view name, std::string_view type, std::string_view address);
// "TYPE:ADDRESS" in upper case with its NUL, as Outlook keys addresses.
std::string AddressSearchKey(std::string_view type, std::string_view address);
// A FlatEntryList of the given entry ids, each padded to four bytes.
std::string FlatEntryList(const std::vector<std::string>& entryIds);

}  // namespace mailvane::mapi::import
