#pragma once
// The file header with its root record ([MS-PST] 2.2.2.5, 2.2.2.6), Unicode
// layout. The header is the commit point of a store: it is written last.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "mapi/pst/Format.h"

namespace mailvane::pst {

struct BlockRef {
    Bid bid = 0;
    uint64_t ib = 0;
};

// fAMapValid ([MS-PST] 2.2.2.5): whether the allocation maps can be trusted.
constexpr uint8_t kAMapInvalid = 0;
constexpr uint8_t kAMapValid2 = 2;

struct Header {
    // Our stores carry this in the unused padding after the reserved words
    // (bidUnused; the reserved words themselves must stay zero), so that a
    // reopen can tell a file this writer made from any other store.
    static constexpr uint64_t kWriterMark = 0x3145'4E41'564C'4941ULL;

    uint32_t reserved1 = 0;
    uint32_t reserved2 = 0;
    uint64_t writer_mark = kWriterMark;
    Bid bid_next_page = 0;
    Bid bid_next_block = 0;
    uint32_t unique = 0;
    std::array<uint32_t, 32> next_nid{};  // rgnid[] by NID type
    uint64_t file_eof = 0;
    uint64_t amap_last = 0;
    uint64_t amap_free = 0;
    uint64_t pmapFree = 0;
    BlockRef nbt;
    BlockRef bbt;
    uint8_t amap_valid = kAMapValid2;
    Encoding encoding = Encoding::kPermute;
};

// The 564 header bytes, both CRCs filled in.
std::string EncodeHeader(const Header& h);

// Parses and checks a header. Returns the empty string or why the bytes are
// not a Unicode store header (bad magic, ANSI version, CRC mismatch, ...).
std::string DecodeHeader(std::string_view bytes, Header* h);

// Offsets of the CRC-covered ranges, for tests.
constexpr size_t kHeaderPartialCrcBegin = 8;
constexpr size_t kHeaderPartialCrcLength = 471;
constexpr size_t kHeaderFullCrcLength = 516;

}  // namespace mailvane::pst
