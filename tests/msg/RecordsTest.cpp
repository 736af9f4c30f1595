// The on-disk records of a message file: property stream headers and
// entries, where each type of value goes, and the named-property mapping,
// against the format's layouts and its worked example.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "mapi/format/Coding.h"
#include "mapi/format/Text.h"
#include "mapi/msg/NameIdMap.h"
#include "mapi/msg/PropertyStream.h"

namespace mailvane::msg {
namespace {

using format::ParseGuid;
using format::Utf16FromUtf8;

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int x : b) s.push_back(static_cast<char>(x));
    return s;
}

// Count, offsets from the start, then the values: the item's layout.
std::string Multi(const std::vector<std::string>& values) {
    std::string out;
    format::PutFixed32(&out, static_cast<uint32_t>(values.size()));
    size_t at = 4 + 4 * values.size();
    for (const auto& v : values) {
        format::PutFixed32(&out, static_cast<uint32_t>(at));
        at += v.size();
    }
    for (const auto& v : values) out += v;
    return out;
}

TEST(PropertyStream, HeadersAndEntriesAreWhereReadersLook) {
    const std::string reserved(8, '\0');
    const std::string counts = Bytes({1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0});
    const std::string entry = Bytes({3, 0, 7, 0x0E, 6, 0, 0, 0, 0x11, 0, 0, 0, 0, 0, 0, 0});
    const std::map<StreamOwner, std::string> headers = {
        {StreamOwner::kTopMessage, reserved + counts + reserved},
        {StreamOwner::kEmbeddedMessage, reserved + counts},
        {StreamOwner::kRecipientOrAttachment, reserved}};
    for (const auto& [owner, header] : headers) {
        std::string stream;
        StreamHeader{1, 2, 3, 4}.EncodeTo(owner, &stream);
        PropertyEntry::Fixed(0x0E070003, 0x11).EncodeTo(&stream);
        EXPECT_EQ(stream, header + entry);
        StreamHeader h;
        std::vector<PropertyEntry> entries;
        ASSERT_EQ(DecodePropertyStream(owner, stream, &h, &entries), "");
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].tag, 0x0E070003u);
        EXPECT_EQ(entries[0].flags, kPropAttrReadable | kPropAttrWritable);
        EXPECT_EQ(entries[0].value, 0x11u);
        if (owner == StreamOwner::kRecipientOrAttachment) continue;
        EXPECT_EQ(std::vector(
                      {h.nextRecipientId, h.nextAttachmentId, h.recipientCount, h.attachmentCount}),
                  std::vector<uint32_t>({1, 2, 3, 4}));
        // Shorter than a header, or not a header and whole entries: refused.
        entries.clear();
        EXPECT_NE(
            DecodePropertyStream(StreamOwner::kTopMessage, stream.substr(0, 24), &h, &entries), "");
        EXPECT_NE(
            DecodePropertyStream(StreamOwner::kTopMessage, stream.substr(0, 40), &h, &entries), "");
    }
}

// How one value is placed: its entry's tag and value (a fixed value, or the
// size with the reserved word above it), and the streams beside it.
struct Placement {
    uint32_t tag;
    std::string value;
    uint32_t entryTag;
    uint64_t entryValue;
    std::vector<std::pair<std::string, std::string>> streams;
};

TEST(PropertyStream, EachTypeOfValueGoesInTheEntryOrInStreamsOfItsOwn) {
    const std::string hi = Utf16FromUtf8("Hi"), a = Utf16FromUtf8("a"), bc = Utf16FromUtf8("bc");
    const std::string nul(2, '\0'), bin("\0\1\2", 3), longs = Bytes({1, 0, 0, 0, 2, 0, 0, 0});
    const Placement cases[] = {
        // Fixed values sit in the entry.
        {0x0E070003, Bytes({0x11, 0, 0, 0}), 0x0E070003, 0x11, {}},
        {0x00390040, Bytes({1, 2, 3, 4, 5, 6, 7, 8}), 0x00390040, 0x0807060504030201, {}},
        {0x0E1B000B, Bytes({1}), 0x0E1B000B, 1, {}},
        // Strings and binaries get a stream named by tag; a string's size
        // counts the terminator its stream leaves out.
        {0x0037001F, hi, 0x0037001F, 6, {{"__substg1.0_0037001F", hi}}},
        {0x003D001F, "", 0x003D001F, 2, {{"__substg1.0_003D001F", ""}}},
        {0x37010102, bin, 0x37010102, 3, {{"__substg1.0_37010102", bin}}},
        // An 8-bit string ("Grüß" as UTF-8) becomes Unicode in a Unicode file.
        {0x0037001E,
         "Gr\xC3\xBC\xC3\x9F",
         0x0037001F,
         10,
         {{"__substg1.0_0037001F", Bytes({'G', 0, 'r', 0, 0xFC, 0, 0xDF, 0})}}},
        // Variable multi-values: a stream per value (strings keep their
        // terminator), then their lengths (a binary's followed by 4 reserved
        // bytes).
        {0x8000101F,
         Multi({a, bc}),
         0x8000101F,
         8,
         {{"__substg1.0_8000101F-00000000", a + nul},
          {"__substg1.0_8000101F-00000001", bc + nul},
          {"__substg1.0_8000101F", Bytes({4, 0, 0, 0, 6, 0, 0, 0})}}},
        {0x00021102,
         Multi({"xyz"}),
         0x00021102,
         8,
         {{"__substg1.0_00021102-00000000", "xyz"},
          {"__substg1.0_00021102", Bytes({3, 0, 0, 0, 0, 0, 0, 0})}}},
        {0x8000101F, "", 0x8000101F, 0, {{"__substg1.0_8000101F", ""}}},
        // Fixed multi-values: one stream of whole values.
        {0x68051003, longs, 0x68051003, 8, {{"__substg1.0_68051003", longs}}},
    };
    for (const Placement& c : cases) {
        PropertyEntry entry;
        std::vector<ValueStream> streams;
        std::string error;
        ASSERT_TRUE(PlaceProperty(c.tag, c.value, &entry, &streams, &error)) << error;
        EXPECT_EQ(entry.tag, c.entryTag);
        EXPECT_EQ(entry.value, c.entryValue) << std::hex << c.tag;
        std::vector<std::pair<std::string, std::string>> got;
        for (const auto& s : streams) got.emplace_back(s.name(), std::string(s.bytes()));
        EXPECT_EQ(got, c.streams) << std::hex << c.tag;
    }

    // Values that do not fit their type are refused, naming the property.
    const std::pair<uint32_t, std::string> broken[] = {
        {0x0E070003, Bytes({1, 0})},                                 // not a long's size
        {0x68051003, Bytes({1, 0, 0})},                              // not whole longs
        {0x8000101F, Bytes({1, 0})},                                 // shorter than its count
        {0x8000101F, Bytes({9, 0, 0, 0, 8, 0, 0, 0})},               // more values than offsets
        {0x8000101F, Bytes({1, 0, 0, 0, 40, 0, 0, 0})},              // offset past the end
        {0x8000101F, Bytes({2, 0, 0, 0, 12, 0, 0, 0, 4, 0, 0, 0})},  // offsets going back
    };
    for (const auto& [tag, value] : broken) {
        PropertyEntry entry;
        std::vector<ValueStream> streams;
        std::string error;
        EXPECT_FALSE(PlaceProperty(tag, value, &entry, &streams, &error)) << std::hex << tag;
        EXPECT_NE(error.find(SubstreamName(tag).substr(12)), std::string::npos) << error;
    }
}

const std::string kPsMapi = ParseGuid("{00020328-0000-0000-C000-000000000046}");
const std::string kPsPublicStrings = ParseGuid("{00020329-0000-0000-C000-000000000046}");
const std::string kPsetidCommon = ParseGuid("{00062008-0000-0000-C000-000000000046}");
const std::string kPsetidAddress = ParseGuid("{00062004-0000-0000-C000-000000000046}");

std::map<std::string, std::string> StreamsOf(const NameIdMap& map) {
    std::map<std::string, std::string> out;
    for (auto& [name, bytes] : map.Streams()) out[name] = bytes;
    return out;
}

TEST(NameIdMap, TheWorkedExampleLandsWhereTheFormatSays) {
    // Id 0x8005: LID 0x811C in {00062003-0000-0000-C000-000000000046}, the
    // second property set stored (GUID index 4). Its entry is
    // 1C 81 00 00 08 00 05 00, at 0x28 in the entry stream and in the
    // name-to-id stream 0x101D.
    const std::string example = ParseGuid("{00062003-0000-0000-C000-000000000046}");
    NameIdMap map;
    for (uint32_t lid = 1; lid <= 5; ++lid) map.IdFor(kPsetidCommon, lid);
    ASSERT_EQ(map.IdFor(example, 0x811C), 0x8005);
    auto streams = StreamsOf(map);
    const std::string entry = Bytes({0x1C, 0x81, 0, 0, 0x08, 0, 0x05, 0});
    EXPECT_EQ(streams["__substg1.0_00020102"], kPsetidCommon + example);
    EXPECT_EQ(streams["__substg1.0_00030102"].substr(0x28, 8), entry);
    const std::string& hash = streams["__substg1.0_101D0102"];
    EXPECT_NE(hash.find(entry), std::string::npos);
    EXPECT_EQ(hash.size() % 8, 0u);
}

TEST(NameIdMap, NamesGetConsecutiveIdsOnceEachAndDecodeBack) {
    NameIdMap map;
    EXPECT_EQ(map.IdFor(kPsPublicStrings, "abc"), 0x8000);  // 6 bytes: 2 bytes of padding follow
    EXPECT_EQ(map.IdFor(kPsetidCommon, 0x8503), 0x8001);
    EXPECT_EQ(map.IdFor(kPsetidAddress, "Zoë"), 0x8002);
    EXPECT_EQ(map.IdFor(kPsMapi, 0x3001), 0x8003);
    EXPECT_EQ(map.IdFor(kPsPublicStrings, "abc"), 0x8000);
    EXPECT_EQ(map.IdFor(kPsPublicStrings, "ABC"), 0x8004);  // names keep their case
    EXPECT_EQ(map.IdFor("short", 1), 0);
    auto streams = StreamsOf(map);
    // PS_MAPI and PS_PUBLIC_STRINGS have indices of their own; only the
    // other sets are stored.
    const std::string& guids = streams["__substg1.0_00020102"];
    const std::string& entries = streams["__substg1.0_00030102"];
    const std::string& strings = streams["__substg1.0_00040102"];
    EXPECT_EQ(guids, kPsetidCommon + kPsetidAddress);
    EXPECT_EQ(strings.substr(0, 12), Bytes({6, 0, 0, 0, 'a', 0, 'b', 0, 'c', 0, 0, 0}));
    EXPECT_EQ(strings.substr(12, 4), Bytes({6, 0, 0, 0}));

    std::vector<NameIdMap::Name> names;
    ASSERT_EQ(NameIdMap::Decode(guids, entries, strings, &names), "");
    ASSERT_EQ(names.size(), 5u);
    EXPECT_TRUE(names[0].byName);
    EXPECT_EQ(names[0].propertySet, kPsPublicStrings);
    EXPECT_EQ(names[0].name, Utf16FromUtf8("abc"));
    EXPECT_FALSE(names[1].byName);
    EXPECT_EQ(names[1].lid, 0x8503u);
    EXPECT_EQ(names[1].propertySet, kPsetidCommon);
    EXPECT_EQ(names[2].name, Bytes({'Z', 0, 'o', 0, 0xEB, 0}));
    EXPECT_EQ(names[2].propertySet, kPsetidAddress);
    EXPECT_EQ(names[3].propertySet, kPsMapi);
}

}  // namespace
}  // namespace mailvane::msg
