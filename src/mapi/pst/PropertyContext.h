#pragma once
// Property context ([MS-PST] 2.3.3): a BTH of (property id -> type, value)
// where values of up to four bytes sit in the record, larger ones in the
// heap, and those over one heap allocation in subnodes of the node.
#include <cstdint>
#include <string>

#include "mapi/pst/NodeContent.h"
#include "mapi/pst/Property.h"

namespace mailvane::pst {

// Builds a node holding `props` (ids need not be sorted; later duplicates
// win). Subnodes for large values get ids of type LTP from *nextIndex; a
// list handed over (moved) gives them its values uncopied.
NodeContent BuildPropertyContext(PropertyList props, uint32_t* nextIndex);

// Reads the properties of a property-context node back: the empty string,
// or why the node is no property context.
std::string ReadPropertyContext(const NodeContent& node, PropertyList* props);

}  // namespace mailvane::pst
