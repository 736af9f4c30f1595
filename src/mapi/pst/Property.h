#pragma once
// A property as the store keeps it: a tag (id << 16 | type) and its value as
// stored bytes (little-endian numbers, UTF-16LE strings without terminator,
// multi-valued values in the layout of [MS-PST] 2.3.3.4).
#include <cstdint>
#include <string>
#include <vector>

#include "mapi/format/MessageContent.h"
#include "mapi/format/PropertyType.h"

namespace mailvane::pst {

// The format's property types, as the store's own names.
using format::FixedSize;
using format::kPtAppTime;
using format::kPtBinary;
using format::kPtBoolean;
using format::kPtClsid;
using format::kPtCurrency;
using format::kPtDouble;
using format::kPtError;
using format::kPtFloat;
using format::kPtI8;
using format::kPtLong;
using format::kPtMultiple;
using format::kPtObject;
using format::kPtShort;
using format::kPtString8;
using format::kPtSysTime;
using format::kPtUnicode;
using format::MakeTag;
using format::PropIdOf;
using format::PropType;
using format::PropTypeOf;

// The same properties a message file is written from.
using format::Property;
using format::PropertyList;

}  // namespace mailvane::pst
