#include "mapi/pst/Header.h"

#include "mapi/format/Coding.h"
#include "mapi/format/Crc.h"

namespace mailvane::pst {

using namespace format;
namespace {

// Field offsets of the Unicode header.
constexpr size_t kMagic = 0, kCrcPartial = 4, kMagicClient = 8, kVer = 10, kVerClient = 12,
                 kPlatformCreate = 14, kPlatformAccess = 15, kReserved1 = 16, kReserved2 = 20,
                 kBidUnused = 24, kBidNextP = 32, kUnique = 40, kRgnid = 44, kRoot = 180,
                 kRgbFM = 256, kRgbFP = 384, kSentinel = 512, kCryptMethod = 513, kBidNextB = 516,
                 kCrcFull = 524;
// Inside the root record.
constexpr size_t kFileEof = kRoot + 4, kAMapLast = kRoot + 12, kAMapFree = kRoot + 20,
                 kPMapFree = kRoot + 28, kNbt = kRoot + 36, kBbt = kRoot + 52,
                 kAMapValid = kRoot + 68;

constexpr uint16_t kUnicodeVersion = 23;
// The values every Unicode store of Outlook's carries.
constexpr uint16_t kClientMagic = 0x4D53;  // "SM"
constexpr uint16_t kClientVersion = 19;
constexpr uint8_t kPlatform = 0x01;
constexpr uint8_t kSentinelValue = 0x80;
constexpr size_t kFreeMapBytes = kRgbFP - kRgbFM;  // each of rgbFM and rgbFP

}  // namespace

std::string EncodeHeader(const Header& h) {
    std::string b(kHeaderSize, '\0');
    char* p = b.data();
    std::memcpy(p + kMagic, "!BDN", 4);
    EncodeFixed16(p + kMagicClient, kClientMagic);
    EncodeFixed16(p + kVer, kUnicodeVersion);
    EncodeFixed16(p + kVerClient, kClientVersion);
    p[kPlatformCreate] = kPlatform;
    p[kPlatformAccess] = kPlatform;
    EncodeFixed32(p + kReserved1, h.reserved1);
    EncodeFixed32(p + kReserved2, h.reserved2);
    EncodeFixed64(p + kBidUnused, h.writer_mark);
    EncodeFixed64(p + kBidNextP, h.bid_next_page);
    EncodeFixed32(p + kUnique, h.unique);
    for (size_t i = 0; i < h.next_nid.size(); ++i) EncodeFixed32(p + kRgnid + 4 * i, h.next_nid[i]);
    EncodeFixed64(p + kFileEof, h.file_eof);
    EncodeFixed64(p + kAMapLast, h.amap_last);
    EncodeFixed64(p + kAMapFree, h.amap_free);
    EncodeFixed64(p + kPMapFree, h.pmapFree);
    EncodeFixed64(p + kNbt, h.nbt.bid);
    EncodeFixed64(p + kNbt + 8, h.nbt.ib);
    EncodeFixed64(p + kBbt, h.bbt.bid);
    EncodeFixed64(p + kBbt + 8, h.bbt.ib);
    p[kAMapValid] = static_cast<char>(h.amap_valid);
    // The deprecated free maps in the header must read as "all full".
    std::memset(p + kRgbFM, 0xFF, kFreeMapBytes);
    std::memset(p + kRgbFP, 0xFF, kFreeMapBytes);
    p[kSentinel] = static_cast<char>(kSentinelValue);
    p[kCryptMethod] = static_cast<char>(h.encoding);
    EncodeFixed64(p + kBidNextB, h.bid_next_block);
    EncodeFixed32(p + kCrcPartial,
                  Crc32(std::string_view(p + kHeaderPartialCrcBegin, kHeaderPartialCrcLength)));
    EncodeFixed32(p + kCrcFull,
                  Crc32(std::string_view(p + kHeaderPartialCrcBegin, kHeaderFullCrcLength)));
    return b;
}

std::string DecodeHeader(std::string_view bytes, Header* h) {
    if (bytes.size() < kHeaderSize) return "file too short for a header";
    const char* p = bytes.data();
    if (std::memcmp(p + kMagic, "!BDN", 4) != 0) return "not a personal store (no !BDN magic)";
    uint16_t ver = DecodeFixed16(p + kVer);
    if (ver < kUnicodeVersion) return "ANSI store (format version " + std::to_string(ver) + ")";
    if (ver != kUnicodeVersion) return "unsupported format version " + std::to_string(ver);
    if (kCheckIntegrity &&
        (DecodeFixed32(p + kCrcPartial) !=
             Crc32(std::string_view(p + kHeaderPartialCrcBegin, kHeaderPartialCrcLength)) ||
         DecodeFixed32(p + kCrcFull) !=
             Crc32(std::string_view(p + kHeaderPartialCrcBegin, kHeaderFullCrcLength))))
        return "header checksum mismatch";
    h->reserved1 = DecodeFixed32(p + kReserved1);
    h->reserved2 = DecodeFixed32(p + kReserved2);
    h->writer_mark = DecodeFixed64(p + kBidUnused);
    h->bid_next_page = DecodeFixed64(p + kBidNextP);
    h->unique = DecodeFixed32(p + kUnique);
    for (size_t i = 0; i < h->next_nid.size(); ++i)
        h->next_nid[i] = DecodeFixed32(p + kRgnid + 4 * i);
    h->file_eof = DecodeFixed64(p + kFileEof);
    h->amap_last = DecodeFixed64(p + kAMapLast);
    h->amap_free = DecodeFixed64(p + kAMapFree);
    h->pmapFree = DecodeFixed64(p + kPMapFree);
    h->nbt = {DecodeFixed64(p + kNbt), DecodeFixed64(p + kNbt + 8)};
    h->bbt = {DecodeFixed64(p + kBbt), DecodeFixed64(p + kBbt + 8)};
    h->amap_valid = static_cast<uint8_t>(p[kAMapValid]);
    uint8_t crypt = static_cast<uint8_t>(p[kCryptMethod]);
    if (crypt > 1) return "unsupported block encoding " + std::to_string(crypt);
    h->encoding = static_cast<Encoding>(crypt);
    h->bid_next_block = DecodeFixed64(p + kBidNextB);
    return {};
}

}  // namespace mailvane::pst
