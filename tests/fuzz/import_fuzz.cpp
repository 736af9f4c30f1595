// libFuzzer target for the message import: any bytes must import without a
// crash, a leak or undefined behaviour, and the item must describe itself.
// A leading "From " line is taken as the separator line, as the run passes it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mapi/MailItem.h"
#include "mapi/import/MimeImport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view separator;
    if (input.substr(0, 5) == "From ") {
        size_t end = input.find('\n');
        separator = input.substr(0, end == input.npos ? input.size() : end);
        input.remove_prefix(end == input.npos ? input.size() : end + 1);
    }
    mailvane::mapi::MailItem item;
    mailvane::mapi::ImportMessage(separator, input, size % 7 == 0 ? "preamble" : "", item);
    item.Content();
    return 0;
}
