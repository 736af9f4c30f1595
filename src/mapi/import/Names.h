#pragma once
// Subjects and attachment names as [MS-OXCMAIL] 2.2.3.2.6 and 2.2.3.4.1.1
// shape them.
#include <string>
#include <string_view>

namespace mailvane::mapi::import {

struct SubjectParts {
    std::string prefix;      // "Re: ", or empty
    std::string normalized;  // the rest
};
// A prefix is one to three characters other than colon, blank or digit,
// followed by a colon and any blanks; it is kept as those characters and ": ".
SubjectParts SplitSubject(std::string_view subject);

struct AttachNames {
    std::string longName;   // base.extension
    std::string shortName;  // the 8.3 form
    std::string extension;  // ".ext", or empty
    std::string display;
};
// Names for an attachment from the name the mail gives it (UTF-8, possibly
// empty or unsafe). `fallbackBase` and `fallbackExtension` (without the dot)
// stand in for a part that is missing.
AttachNames MakeAttachNames(std::string_view given, std::string_view fallbackBase,
                            std::string_view fallbackExtension);

// A file extension for a MIME type with no name ("png" for image/png);
// "dat" when there is none.
std::string ExtensionForMimeType(std::string_view mimeType);

}  // namespace mailvane::mapi::import
