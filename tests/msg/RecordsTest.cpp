// The on-disk records of a message file: property stream headers and
// entries, where each type of value goes, and the named-property mapping,
// against the layouts and worked examples of [MS-OXMSG].
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mapi/msg/NameIdMap.h"
#include "mapi/msg/PropertyStream.h"

namespace mailvane::msg {
namespace {

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int x : b) s.push_back(static_cast<char>(x));
    return s;
}

std::string Utf16(const std::string& ascii) {
    std::string s;
    for (char c : ascii) s += {c, '\0'};
    return s;
}

// Count, offsets from the start, then the values: the item's layout.
std::string Multi(const std::vector<std::string>& values) {
    std::string out = Bytes({static_cast<int>(values.size()), 0, 0, 0});
    size_t at = 4 + 4 * values.size();
    for (const auto& v : values) {
        out += Bytes({static_cast<int>(at & 0xFF), static_cast<int>(at >> 8), 0, 0});
        at += v.size();
    }
    for (const auto& v : values) out += v;
    return out;
}

// A placed property; the streams view the value, which it keeps.
struct Placed {
    std::unique_ptr<std::string> value;
    bool ok = false;
    PropertyEntry entry;
    std::vector<ValueStream> streams;
    std::string error;
};

Placed Place(uint32_t tag, std::string value) {
    Placed p;
    p.value = std::make_unique<std::string>(std::move(value));
    p.ok = PlaceProperty(tag, *p.value, &p.entry, &p.streams, &p.error);
    return p;
}

TEST(PropertyStream, HeadersHaveTheirOwnersLengthsAndCountsWhereReadersLook) {
    StreamHeader h{3, 2, 3, 2};
    std::string top, embedded, sub;
    h.EncodeTo(StreamOwner::kTopMessage, &top);
    h.EncodeTo(StreamOwner::kEmbeddedMessage, &embedded);
    h.EncodeTo(StreamOwner::kRecipientOrAttachment, &sub);
    ASSERT_EQ(top.size(), 32u);
    ASSERT_EQ(embedded.size(), 24u);
    ASSERT_EQ(sub, std::string(8, '\0'));
    const std::string counts = Bytes({3, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0});
    EXPECT_EQ(top, std::string(8, '\0') + counts + std::string(8, '\0'));
    EXPECT_EQ(embedded, std::string(8, '\0') + counts);

    StreamHeader back;
    ASSERT_EQ(StreamHeader::DecodeFrom(StreamOwner::kEmbeddedMessage, embedded, &back), "");
    EXPECT_EQ(back.nextRecipientId, 3u);
    EXPECT_EQ(back.attachmentCount, 2u);
    EXPECT_NE(StreamHeader::DecodeFrom(StreamOwner::kTopMessage, embedded, &back), "");
}

TEST(PropertyStream, DecodingRefusesAStreamThatIsNotHeaderAndWholeEntries) {
    std::string stream(24, '\0');
    PropertyEntry::Fixed(0x0E070003, 17).EncodeTo(&stream);
    StreamHeader h;
    std::vector<PropertyEntry> entries;
    ASSERT_EQ(DecodePropertyStream(StreamOwner::kEmbeddedMessage, stream, &h, &entries), "");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].tag, 0x0E070003u);
    EXPECT_EQ(entries[0].flags, kPropAttrReadable | kPropAttrWritable);
    EXPECT_EQ(entries[0].value, 17u);
    entries.clear();
    EXPECT_NE(DecodePropertyStream(StreamOwner::kTopMessage, stream, &h, &entries), "");
}

TEST(PropertyStream, FixedValuesSitInTheEntryAndMustHaveTheirTypesSize) {
    Placed longValue = Place(0x0E070003, Bytes({0x11, 0, 0, 0}));
    ASSERT_TRUE(longValue.ok);
    EXPECT_TRUE(longValue.streams.empty());
    std::string encoded;
    longValue.entry.EncodeTo(&encoded);
    EXPECT_EQ(encoded, Bytes({3, 0, 7, 0x0E, 6, 0, 0, 0, 0x11, 0, 0, 0, 0, 0, 0, 0}));

    Placed time = Place(0x00390040, Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_TRUE(time.ok);
    EXPECT_EQ(time.entry.value, 0x0807060504030201u);
    Placed boolean = Place(0x0E1B000B, Bytes({1}));
    ASSERT_TRUE(boolean.ok);
    EXPECT_EQ(boolean.entry.value, 1u);

    Placed shortLong = Place(0x0E070003, Bytes({1, 0}));
    EXPECT_FALSE(shortLong.ok);
    EXPECT_NE(shortLong.error.find("0E070003"), std::string::npos);
}

TEST(PropertyStream, StringsAndBinariesGetAStreamNamedByTagAndTheirSize) {
    Placed subject = Place(0x0037001F, Utf16("Hi"));
    ASSERT_TRUE(subject.ok);
    ASSERT_EQ(subject.streams.size(), 1u);
    EXPECT_EQ(subject.streams[0].name(), "__substg1.0_0037001F");
    EXPECT_EQ(subject.streams[0].bytes(), Utf16("Hi"));  // no terminator in the stream
    EXPECT_EQ(subject.entry.size(), 6u);                 // but counted in the size
    EXPECT_EQ(subject.entry.reserved(), 0u);

    Placed empty = Place(0x003D001F, "");
    ASSERT_TRUE(empty.ok);
    EXPECT_EQ(empty.streams[0].bytes(), "");
    EXPECT_EQ(empty.entry.size(), 2u);

    Placed binary = Place(0x37010102, std::string("\0\1\2", 3));
    ASSERT_TRUE(binary.ok);
    EXPECT_EQ(binary.streams[0].name(), "__substg1.0_37010102");
    EXPECT_EQ(binary.entry.size(), 3u);
}

TEST(PropertyStream, EightBitStringsBecomeUnicodeInAUnicodeFile) {
    Placed p = Place(0x0037001E, "Gr\xC3\xBC\xC3\x9F");  // "Grüß" as UTF-8
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.entry.tag, 0x0037001Fu);
    EXPECT_EQ(p.streams[0].name(), "__substg1.0_0037001F");
    EXPECT_EQ(p.streams[0].bytes(), Bytes({'G', 0, 'r', 0, 0xFC, 0, 0xDF, 0}));
    EXPECT_EQ(p.entry.size(), 10u);
}

TEST(PropertyStream, VariableMultiValuesGetALengthStreamAndOneStreamPerValue) {
    Placed strings = Place(0x8000101F, Multi({Utf16("a"), Utf16("bc")}));
    ASSERT_TRUE(strings.ok) << strings.error;
    ASSERT_EQ(strings.streams.size(), 3u);
    // Each string keeps its terminator, and its length counts it.
    EXPECT_EQ(strings.streams[0].name(), "__substg1.0_8000101F-00000000");
    EXPECT_EQ(strings.streams[0].bytes(), Utf16("a") + std::string(2, '\0'));
    EXPECT_EQ(strings.streams[1].name(), "__substg1.0_8000101F-00000001");
    EXPECT_EQ(strings.streams[2].name(), "__substg1.0_8000101F");
    EXPECT_EQ(strings.streams[2].bytes(), Bytes({4, 0, 0, 0, 6, 0, 0, 0}));
    EXPECT_EQ(strings.entry.size(), 8u);

    Placed binaries = Place(0x00021102, Multi({"xyz"}));
    ASSERT_TRUE(binaries.ok);
    ASSERT_EQ(binaries.streams.size(), 2u);
    EXPECT_EQ(binaries.streams[0].bytes(), "xyz");
    // A binary's length is followed by 4 reserved bytes.
    EXPECT_EQ(binaries.streams[1].bytes(), Bytes({3, 0, 0, 0, 0, 0, 0, 0}));

    Placed none = Place(0x8000101F, "");
    ASSERT_TRUE(none.ok);
    ASSERT_EQ(none.streams.size(), 1u);
    EXPECT_EQ(none.entry.size(), 0u);
}

TEST(PropertyStream, FixedMultiValuesAreOneStreamOfWholeValues) {
    Placed longs = Place(0x68051003, Bytes({1, 0, 0, 0, 2, 0, 0, 0}));
    ASSERT_TRUE(longs.ok);
    ASSERT_EQ(longs.streams.size(), 1u);
    EXPECT_EQ(longs.streams[0].name(), "__substg1.0_68051003");
    EXPECT_EQ(longs.entry.size(), 8u);
    EXPECT_FALSE(Place(0x68051003, Bytes({1, 0, 0})).ok);
}

TEST(PropertyStream, MalformedMultiValuesAreRefused) {
    const std::vector<std::string> broken = {
        Bytes({1, 0}),                                 // shorter than its count
        Bytes({9, 0, 0, 0, 8, 0, 0, 0}),               // more values than offsets
        Bytes({1, 0, 0, 0, 40, 0, 0, 0}),              // offset past the end
        Bytes({2, 0, 0, 0, 12, 0, 0, 0, 4, 0, 0, 0}),  // offsets going back
    };
    for (const auto& value : broken) {
        Placed p = Place(0x8000101F, value);
        EXPECT_FALSE(p.ok) << testing::PrintToString(value);
        EXPECT_FALSE(p.error.empty());
    }
}

const std::string kPsMapi = Bytes({0x28, 0x03, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46});
const std::string kPsPublicStrings =
    Bytes({0x29, 0x03, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46});
const std::string kPsetidCommon =
    Bytes({0x08, 0x20, 0x06, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46});
const std::string kPsetidAddress =
    Bytes({0x04, 0x20, 0x06, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46});

std::map<std::string, std::string> StreamsOf(const NameIdMap& map) {
    std::map<std::string, std::string> out;
    for (auto& [name, bytes] : map.Streams()) out[name] = bytes;
    return out;
}

TEST(NameIdMap, NamesGetConsecutiveIdsOnceEachAndStoredGuidsOnce) {
    NameIdMap map;
    EXPECT_EQ(map.IdFor(kPsetidCommon, 0x8580), 0x8000);
    EXPECT_EQ(map.IdFor(kPsPublicStrings, "Keywords"), 0x8001);
    EXPECT_EQ(map.IdFor(kPsetidCommon, 0x8581), 0x8002);
    EXPECT_EQ(map.IdFor(kPsetidCommon, 0x8580), 0x8000);
    EXPECT_EQ(map.IdFor(kPsPublicStrings, "Keywords"), 0x8001);
    EXPECT_EQ(map.IdFor(kPsPublicStrings, "keywords"), 0x8003);  // names keep their case
    EXPECT_EQ(map.IdFor("short", 1), 0);
    // PS_MAPI and PS_PUBLIC_STRINGS have indices of their own.
    map.IdFor(kPsMapi, 0x3001);
    EXPECT_EQ(StreamsOf(map)["__substg1.0_00020102"], kPsetidCommon);
}

TEST(NameIdMap, TheWorkedExampleLandsWhereTheFormatSays) {
    // Id 0x8005: LID 0x811C in {00062003-0000-0000-C000-000000000046}, the
    // second property set stored (GUID index 4). Its entry is
    // 1C 81 00 00 08 00 05 00, at 0x28 in the entry stream and in the
    // name-to-id stream 0x101D.
    const std::string example =
        Bytes({0x03, 0x20, 0x06, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46});
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

TEST(NameIdMap, StringNamesArePaddedToFourBytesAndDecodeBack) {
    NameIdMap map;
    map.IdFor(kPsPublicStrings, "abc");  // 6 bytes: 2 bytes of padding follow
    map.IdFor(kPsetidCommon, 0x8503);
    map.IdFor(kPsetidAddress, "Zoë");
    auto streams = StreamsOf(map);
    const std::string& strings = streams["__substg1.0_00040102"];
    EXPECT_EQ(strings.substr(0, 12), Bytes({6, 0, 0, 0, 'a', 0, 'b', 0, 'c', 0, 0, 0}));
    EXPECT_EQ(strings.substr(12, 4), Bytes({6, 0, 0, 0}));

    std::vector<NameIdMap::Name> names;
    ASSERT_EQ(NameIdMap::Decode(streams["__substg1.0_00020102"], streams["__substg1.0_00030102"],
                                strings, &names),
              "");
    ASSERT_EQ(names.size(), 3u);
    EXPECT_TRUE(names[0].byName);
    EXPECT_EQ(names[0].propertySet, kPsPublicStrings);
    EXPECT_EQ(names[0].name, Utf16("abc"));
    EXPECT_FALSE(names[1].byName);
    EXPECT_EQ(names[1].lid, 0x8503u);
    EXPECT_EQ(names[1].propertySet, kPsetidCommon);
    EXPECT_EQ(names[2].name, Bytes({'Z', 0, 'o', 0, 0xEB, 0}));
    EXPECT_EQ(names[2].propertySet, kPsetidAddress);

    // An entry pointing past the strings, or at a GUID not stored, is refused.
    EXPECT_NE(NameIdMap::Decode(streams["__substg1.0_00020102"], streams["__substg1.0_00030102"],
                                strings.substr(0, 8), &names)
                  .find("past the string stream"),
              std::string::npos);
    EXPECT_NE(NameIdMap::Decode("", streams["__substg1.0_00030102"], strings, &names)
                  .find("unknown property set"),
              std::string::npos);
}

}  // namespace
}  // namespace mailvane::msg
