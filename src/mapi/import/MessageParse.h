#pragma once
// A message's bytes as GMime is given them for the import: its MIME fields
// and the rest, where the caller holds it; very many parts a share at a
// time, and an attached message of very many parts apart from the rest.
#include <string>
#include <string_view>
#include <vector>

#include "mapi/import/FieldList.h"
#include "mapi/import/GMimeSupport.h"
#include "mapi/import/Import.h"

namespace mailvane::mapi::import {

// How a large message is given to GMime, when not whole: the shares of a
// multipart of very many parts, or an attached message read apart.
struct PartSharing {
    std::string opening;  // what comes before each later share's run
    std::vector<std::string_view> shares;
    // What follows each share but the last: the multipart's closing line,
    // so that the parts in the share end as they end in the whole.
    std::string closing;
    int depth = 0;  // multiparts around the one shared
    bool alternative = false;
    // Or an attached message of very many parts that holds most of the
    // message: its bytes, the part of them GMime is not given (its body),
    // and the place of its part among the parts around it.
    std::string_view lifted = {};
    size_t liftedBodyFrom = 0;
    std::vector<int> liftedPath = {};
};

// A message's bytes as GMime reads them for the import: its MIME fields and
// the rest, a multipart of very many parts in shares, an attached message
// of very many parts left for a parse of its own. Holds what GMime's
// objects point into, so it stays where it is made.
class MessageParse {
public:
    // `embedding`: how deep the message is embedded in the one imported.
    MessageParse(std::string_view message, GMimeParserOptions* options, int embedding);
    MessageParse(const MessageParse&) = delete;
    MessageParse& operator=(const MessageParse&) = delete;

    // Null fields and root where the message has no MIME part.
    ParsedMessage Parsed() const;
    const HeaderExtent& extent() const { return extent_; }
    const FieldList& fields() const { return fields_; }
    GMimeStream* stream() const { return stream_.get(); }

private:
    void Parse(GMimeParserOptions* options);

    HeaderExtent extent_;
    FieldList fields_;
    ViewBytes bytes_;
    std::string outside_;  // the message but for the lifted message's body
    std::vector<ViewBytes> moreShares_;
    PartSharing sharing_;
    GRef<GMimeStream> stream_;
    GRef<GMimeObject> part_;
    GMimeObject* lifted_ = nullptr;
};

}  // namespace mailvane::mapi::import
