#include "mapi/msg/CompoundFile.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "mapi/format/Coding.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace mailvane::msg {

using namespace format;
namespace {

// A version 3 file's streams stay below 2 GB.
constexpr uint64_t kMaxStreamSize = 0x80000000ULL;

size_t Pieces(size_t bytes, size_t piece) {
    return (bytes + piece - 1) / piece;
}

// The zeros that fill a sector or mini sector after its bytes.
std::string_view Padding(size_t bytes, size_t piece) {
    static const char zeros[kSectorSize] = {};
    return std::string_view(zeros, (piece - bytes % piece) % piece);
}

// Appends a chain of `count` consecutive pieces to an allocation table.
void Chain(std::vector<uint32_t>* table, size_t count) {
    const auto first = static_cast<uint32_t>(table->size());
    for (size_t i = 0; i < count; ++i)
        table->push_back(i + 1 < count ? first + static_cast<uint32_t>(i) + 1 : kEndOfChain);
}

std::string TableBytes(const std::vector<uint32_t>& table) {
    // Written in place: the tables are mostly free entries, a sector's
    // worth at a time.
    std::string out(table.size() * 4, '\0');
    char* p = out.data();
    for (uint32_t v : table) {
        p[0] = static_cast<char>(v), p[1] = static_cast<char>(v >> 8);
        p[2] = static_cast<char>(v >> 16), p[3] = static_cast<char>(v >> 24);
        p += 4;
    }
    return out;
}

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u > 0x7E || c == '/' || c == '\\' || c == ':' || c == '!';
    });
}

}  // namespace

Storage::Storage(Storage&& other) noexcept : file_(other.file_), entry_(other.entry_) {
    other.entry_ = kClosed;
}

Storage::~Storage() {
    Close();
}

Storage Storage::AddStorage(const std::string& name) {
    if (entry_ == kClosed || !file_->ok()) return Storage(file_, kClosed);
    return Storage(file_, file_->AddEntry(entry_, name, EntryType::kStorage));
}

void Storage::AddStream(const std::string& name, std::string_view bytes) {
    if (entry_ == kClosed || !file_->ok()) return;
    const uint32_t stream = file_->AddEntry(entry_, name, EntryType::kStream);
    if (stream != kNoStream) file_->AddStreamData(stream, bytes);
}

void Storage::Close() {
    if (entry_ == kClosed) return;
    if (entry_ == 0) file_->rootClosed_ = true;
    entry_ = kClosed;
}

CompoundWriter::CompoundWriter(const Sink& sink, std::string_view clsid, uint64_t modified)
    : sink_(sink), modified_(modified) {
    Node root;
    root.entry.name = u"Root Entry";
    root.entry.type = EntryType::kRoot;
    root.entry.modified = modified;
    std::copy_n(clsid.begin(), std::min(clsid.size(), root.entry.clsid.size()),
                root.entry.clsid.begin());
    // A message file has dozens of entries: fewer moves as the list grows.
    nodes_.reserve(64);
    nodes_.push_back(std::move(root));
    if (sink_.memory()) {
        memory_.assign(kSectorSize, '\0');  // the header's place
    } else if (sink_.fd() < 0) {
        Fail(std::string("cannot write the message file: ") + std::strerror(EBADF));
    }
}

void CompoundWriter::Reserve(uint64_t bytes) {
    if (sink_.memory() && bytes < kMaxStreamSize) memory_.reserve(static_cast<size_t>(bytes));
}

Storage CompoundWriter::Root() {
    if (rootTaken_) {
        Fail("the message file's root was taken twice");
        return Storage(this, Storage::kClosed);
    }
    rootTaken_ = true;
    return Storage(this, 0);
}

uint32_t CompoundWriter::AddEntry(uint32_t parent, const std::string& name, EntryType type) {
    if (!ValidName(name)) {
        Fail("cannot add \"" + name + "\" to the message file: not a name a compound file takes");
        return kNoStream;
    }
    const auto index = static_cast<uint32_t>(nodes_.size());
    if (index >= kMaxRegularSector) {
        Fail("the message file has too many streams");
        return kNoStream;
    }
    Node node;
    node.entry.name.assign(name.begin(), name.end());
    // ValidName let through printable ASCII only: capitals of its letters
    // compare as CompoundNameLess compares the names.
    for (size_t i = 0; i < name.size(); ++i)
        node.key[i] =
            name[i] >= 'a' && name[i] <= 'z' ? static_cast<char>(name[i] - 'a' + 'A') : name[i];
    node.entry.type = type;
    if (type == EntryType::kStorage) node.entry.created = node.entry.modified = modified_;
    nodes_.push_back(std::move(node));
    nodes_[parent].children.push_back(index);
    return index;
}

void CompoundWriter::AddStreamData(uint32_t index, std::string_view bytes) {
    DirectoryEntry& entry = nodes_[index].entry;
    if (bytes.size() > kMaxStreamSize) {
        Fail("the stream " + std::string(entry.name.begin(), entry.name.end()) +
             " is too large for a message file");
        return;
    }
    entry.size = bytes.size();
    if (bytes.empty()) return;  // no sectors: the start stays the end of chain
    if (bytes.size() >= kMiniStreamCutoff) {
        entry.startSector = PlaceSectors(bytes);
        return;
    }
    entry.startSector = static_cast<uint32_t>(miniFat_.size());
    Chain(&miniFat_, Pieces(bytes.size(), kMiniSectorSize));
    miniStream_.append(bytes);
    miniStream_.append(Padding(bytes.size(), kMiniSectorSize));
}

uint32_t CompoundWriter::PlaceSectors(std::string_view bytes) {
    if (bytes.empty()) return kEndOfChain;
    const size_t count = Pieces(bytes.size(), kSectorSize);
    if (fat_.size() + count >= kMaxRegularSector) {
        Fail("the message file is too large");
        return kEndOfChain;
    }
    const auto first = static_cast<uint32_t>(fat_.size());
    Chain(&fat_, count);
    Emit(bytes);
    Emit(Padding(bytes.size(), kSectorSize));
    return first;
}

void CompoundWriter::Emit(std::string_view bytes) {
    if (bytes.empty() || !ok()) return;
    WriteAt(end_, bytes);
    end_ += bytes.size();
}

void CompoundWriter::WriteAt(uint64_t offset, std::string_view bytes) {
    if (sink_.memory()) {
        if (offset == memory_.size()) {
            memory_.append(bytes);
            return;
        }
        if (memory_.size() < offset + bytes.size()) memory_.resize(offset + bytes.size());
        std::memcpy(memory_.data() + offset, bytes.data(), bytes.size());
        return;
    }
    while (!bytes.empty()) {
#ifdef _WIN32
        const long long n =
            _lseeki64(sink_.fd(), static_cast<long long>(offset), SEEK_SET) < 0
                ? -1
                : _write(sink_.fd(), bytes.data(),
                         static_cast<unsigned>(std::min<size_t>(bytes.size(), 1 << 30)));
#else
        const ssize_t n =
            ::pwrite(sink_.fd(), bytes.data(), bytes.size(), static_cast<off_t>(offset));
#endif
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            Fail(std::string("cannot write the message file: ") +
                 std::strerror(n < 0 ? errno : ENOSPC));
            return;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
        offset += static_cast<uint64_t>(n);
    }
}

uint32_t CompoundWriter::BuildTree(std::vector<uint32_t>& sorted, size_t first, size_t count,
                                   int depth, int redDepth) {
    if (count == 0) return kNoStream;
    const size_t leftCount = count / 2;
    const uint32_t index = sorted[first + leftCount];
    const uint32_t left = BuildTree(sorted, first, leftCount, depth + 1, redDepth);
    const uint32_t right =
        BuildTree(sorted, first + leftCount + 1, count - leftCount - 1, depth + 1, redDepth);
    DirectoryEntry& entry = nodes_[index].entry;
    entry.left = left;
    entry.right = right;
    entry.color = depth == redDepth ? EntryColor::kRed : EntryColor::kBlack;
    return index;
}

void CompoundWriter::LinkTrees() {
    for (Node& node : nodes_) {
        if (node.children.empty()) continue;
        // The order they were added in is needed no more.
        std::vector<uint32_t>& sorted = node.children;
        const auto less = [&](uint32_t a, uint32_t b) {
            const size_t x = nodes_[a].entry.name.size(), y = nodes_[b].entry.name.size();
            if (x != y) return x < y;
            return std::memcmp(nodes_[a].key.data(), nodes_[b].key.data(), x) < 0;
        };
        std::sort(sorted.begin(), sorted.end(), less);
        for (size_t i = 1; i < sorted.size(); ++i) {
            const std::u16string& name = nodes_[sorted[i]].entry.name;
            if (!less(sorted[i - 1], sorted[i]))
                return Fail("the message file names " + std::string(name.begin(), name.end()) +
                            " twice in one storage");
        }
        // Splitting at the middle leaves every path from the top within
        // one step of the others: when the deepest level is not full, its
        // entries are red and every path passes the same number of black.
        const size_t n = sorted.size();
        const int deepest = std::bit_width(n) - 1;
        const int redDepth = std::has_single_bit(n + 1) ? -1 : deepest;
        node.entry.child = BuildTree(sorted, 0, n, 0, redDepth);
    }
}

std::string CompoundWriter::Finish() {
    if (!error_.empty()) return error_;
    if (!rootClosed_) return "the message file was not completed";
    CompoundHeader header;

    DirectoryEntry& root = nodes_[0].entry;
    root.size = miniStream_.size();
    root.startSector = PlaceSectors(miniStream_);
    if (!miniFat_.empty()) {
        miniFat_.resize(Pieces(miniFat_.size(), kSectorEntries) * kSectorEntries, kFreeSector);
        header.miniFatSectors = static_cast<uint32_t>(miniFat_.size() / kSectorEntries);
        header.firstMiniFatSector = PlaceSectors(TableBytes(miniFat_));
    }

    LinkTrees();
    std::string directory;
    directory.reserve(Pieces(nodes_.size(), 4) * 4 * kDirectoryEntrySize);
    for (const Node& node : nodes_) node.entry.EncodeTo(&directory);
    DirectoryEntry unused;
    unused.color = EntryColor::kRed;
    unused.startSector = 0;
    while (directory.size() % kSectorSize != 0) unused.EncodeTo(&directory);
    header.firstDirectorySector = PlaceSectors(directory);

    // The allocation table covers its own sectors and those of the DIFAT
    // that lists the sectors past the header's 109.
    const size_t dataSectors = fat_.size();
    size_t fatSectors = Pieces(dataSectors, kSectorEntries);
    size_t difatSectors = 0;
    for (;;) {
        difatSectors = fatSectors > kHeaderDifatEntries
                           ? Pieces(fatSectors - kHeaderDifatEntries, kSectorEntries - 1)
                           : 0;
        const size_t needed = Pieces(dataSectors + fatSectors + difatSectors, kSectorEntries);
        if (needed <= fatSectors) break;
        fatSectors = needed;
    }
    if (dataSectors + fatSectors + difatSectors >= kMaxRegularSector)
        Fail("the message file is too large");
    if (!error_.empty()) return error_;
    const auto firstFat = static_cast<uint32_t>(dataSectors);
    const auto firstDifat = static_cast<uint32_t>(dataSectors + fatSectors);
    fat_.insert(fat_.end(), fatSectors, kFatSector);
    fat_.insert(fat_.end(), difatSectors, kDifatSector);
    fat_.resize(fatSectors * kSectorEntries, kFreeSector);
    Emit(TableBytes(fat_));

    header.fatSectors = static_cast<uint32_t>(fatSectors);
    std::vector<uint32_t> difat;
    for (size_t i = 0; i < fatSectors; ++i) {
        const auto sector = static_cast<uint32_t>(firstFat + i);
        if (i < kHeaderDifatEntries) {
            header.difat[i] = sector;
            continue;
        }
        // Each DIFAT sector ends with the number of the next.
        if (difat.size() % kSectorEntries == kSectorEntries - 1)
            difat.push_back(firstDifat + static_cast<uint32_t>(difat.size() / kSectorEntries) + 1);
        difat.push_back(sector);
    }
    if (difatSectors > 0) {
        difat.resize(difatSectors * kSectorEntries, kFreeSector);
        difat.back() = kEndOfChain;
        header.firstDifatSector = firstDifat;
        header.difatSectors = static_cast<uint32_t>(difatSectors);
        Emit(TableBytes(difat));
    }

    std::string headerBytes;
    header.EncodeTo(&headerBytes);
    if (ok()) WriteAt(0, headerBytes);
    if (!error_.empty()) return error_;
    if (sink_.memory()) sink_.memory()->swap(memory_);
    return error_;
}

void CompoundWriter::Fail(const std::string& cause) {
    if (error_.empty()) error_ = cause;
}

}  // namespace mailvane::msg
