#pragma once
// Identifiers and fixed sizes of a Unicode store file ([MS-PST] 2.2.2).
#include <cstdint>

namespace mailvane::pst {

using Nid = uint32_t;
using Bid = uint64_t;
using Hid = uint32_t;

// Node id = 5-bit type + 27-bit index ([MS-PST] 2.2.2.1).
enum NidType : uint32_t {
    kNidTypeHid = 0x00,
    kNidTypeInternal = 0x01,
    kNidTypeNormalFolder = 0x02,
    kNidTypeSearchFolder = 0x03,
    kNidTypeNormalMessage = 0x04,
    kNidTypeAttachment = 0x05,
    kNidTypeSearchUpdateQueue = 0x06,
    kNidTypeSearchCriteria = 0x07,
    kNidTypeAssocMessage = 0x08,
    kNidTypeContentsTableIndex = 0x0A,
    kNidTypeReceiveFolderTable = 0x0B,
    kNidTypeOutgoingQueueTable = 0x0C,
    kNidTypeHierarchyTable = 0x0D,
    kNidTypeContentsTable = 0x0E,
    kNidTypeAssocContentsTable = 0x0F,
    kNidTypeSearchContentsTable = 0x10,
    kNidTypeAttachmentTable = 0x11,
    kNidTypeRecipientTable = 0x12,
    kNidTypeSearchTableIndex = 0x13,
    kNidTypeLtp = 0x1F,
};

constexpr uint32_t kNidTypeBits = 5;
constexpr uint32_t kNidTypeMask = (1u << kNidTypeBits) - 1;
constexpr size_t kNidTypeCount = size_t{1} << kNidTypeBits;

constexpr Nid MakeNid(uint32_t type, uint32_t index) {
    return (index << kNidTypeBits) | (type & kNidTypeMask);
}
constexpr uint32_t NidTypeOf(Nid nid) {
    return nid & kNidTypeMask;
}
constexpr uint32_t NidIndexOf(Nid nid) {
    return nid >> kNidTypeBits;
}
// The table nodes of a folder share its index.
constexpr Nid WithType(Nid nid, uint32_t type) {
    return MakeNid(type, NidIndexOf(nid));
}

// Fixed node ids ([MS-PST] 2.4.1).
constexpr Nid kNidMessageStore = 0x21;
constexpr Nid kNidNameToIdMap = 0x61;
constexpr Nid kNidRootFolder = 0x122;
constexpr Nid kNidSearchManagementQueue = 0x1E1;
constexpr Nid kNidSearchActivityList = 0x201;
constexpr Nid kNidSearchDomainObject = 0x261;
constexpr Nid kNidHierarchyTableTemplate = 0x60D;
constexpr Nid kNidContentsTableTemplate = 0x60E;
constexpr Nid kNidAssocContentsTableTemplate = 0x60F;
constexpr Nid kNidSearchContentsTableTemplate = 0x610;
constexpr Nid kNidReceiveFolderTable = 0x62B;
constexpr Nid kNidOutgoingQueueTable = 0x64C;
constexpr Nid kNidAttachmentTableTemplate = 0x671;
constexpr Nid kNidRecipientTableTemplate = 0x692;
// The well-known folders of a new store, at the indexes a new store uses.
constexpr Nid kNidIpmSubtree = 0x8022;
constexpr Nid kNidSearchRoot = 0x8042;
constexpr Nid kNidDeletedItems = 0x8062;
constexpr Nid kNidSpamSearchFolder = 0x2223;
// Where a new store's counters (rgnid[]) start, as in every store Outlook
// makes: ids below are kept for fixed nodes of each type.
constexpr uint32_t kFirstNidIndex = 0x400;
constexpr uint32_t kFirstSearchFolderNidIndex = 0x4000;
constexpr uint32_t kFirstMessageNidIndex = 0x10000;
constexpr uint32_t kFirstAssocMessageNidIndex = 0x8000;

// Block ids step by 4; bit 1 marks internal blocks (XBLOCK, SLBLOCK, ...),
// which are never encoded ([MS-PST] 2.2.2.2).
constexpr Bid kBidInternal = 0x2;
constexpr Bid kBidStep = 4;
constexpr bool IsInternalBid(Bid bid) {
    return (bid & kBidInternal) != 0;
}

// Sizes ([MS-PST] 2.2.2.7, 2.2.2.8).
constexpr uint32_t kPageSize = 512;
constexpr uint32_t kPageBodySize = 496;
constexpr uint32_t kBlockAlign = 64;
// wSig of a block or B-tree page ([MS-PST] 5.5): both halves of (ib ^ bid)
// folded together.
constexpr uint16_t BlockSignature(uint64_t ib, uint64_t bid) {
    const uint64_t x = ib ^ bid;
    return static_cast<uint16_t>((x >> 16) ^ x);
}
constexpr uint32_t kBlockTrailerSize = 16;
constexpr uint32_t kMaxBlockSize = 8192;
constexpr uint32_t kMaxBlockData = kMaxBlockSize - kBlockTrailerSize;  // 8176
constexpr uint32_t kHeaderSize = 564;
// Deeper B-trees than this would index more blocks than a file can hold;
// a deeper one read back is damaged (or loops).
constexpr int kMaxBtreeDepth = 8;

// Where the allocation maps sit: one AMap page at the start of every data
// section of 253,952 bytes from 0x4400; a PMap in every eighth section; an
// FMap every 496 sections from section 128 and an FPMap every 31,744 sections
// from section 8192 (the header covers the first 128 and 8192 sections).
constexpr uint64_t kFirstAMapOffset = 0x4400;
constexpr uint64_t kAMapCoverage = uint64_t{kPageBodySize} * 8 * 64;  // 253,952
constexpr uint64_t kFMapFirstSection = 128;
constexpr uint64_t kFMapSectionStep = 496;
constexpr uint64_t kFPMapFirstSection = 128 * 8 * 8;
constexpr uint64_t kFPMapSectionStep = uint64_t{kPageBodySize} * 8 * 8;

// Page types (PAGETRAILER.ptype).
enum PageType : uint8_t {
    kPageBbt = 0x80,
    kPageNbt = 0x81,
    kPageFMap = 0x82,
    kPagePMap = 0x83,
    kPageAMap = 0x84,
    kPageFPMap = 0x85,
    kPageDList = 0x86,
};

enum class Encoding : uint8_t { kNone = 0, kPermute = 1 };

// Fuzzing builds take checksums and signatures on trust, so that changed
// bytes reach the checks of the content behind them; every other build
// checks them.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
constexpr bool kCheckIntegrity = false;
#else
constexpr bool kCheckIntegrity = true;
#endif

}  // namespace mailvane::pst
