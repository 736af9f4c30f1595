#pragma once
// A readable account of an imported item: every property with its tag, type
// and value, then its recipients and attachments, embedded messages indented.
#include <string>

#include "mapi/MailItem.h"

namespace mailvane::test {

std::string DumpItem(const mapi::MailItem& item);

}  // namespace mailvane::test
