// libFuzzer target for the store's decoders: whatever the bytes, each
// decoder returns a cause or a result, and a store file reopened from them
// is refused or takes a folder and a message, without a crash, a hang, a
// leak or undefined behaviour. The first byte picks the decoder.
//
// Built with MAILVANE_PST_SEEDS instead, it is a program that writes seeds
// for each decoder, made by our own writer, into the folder it is given.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "TestSinks.h"
#include "mapi/format/PropTags.h"
#include "mapi/pst/Block.h"
#include "mapi/pst/Bth.h"
#include "mapi/pst/Header.h"
#include "mapi/pst/MessageStore.h"
#include "mapi/pst/NameMap.h"
#include "mapi/pst/Page.h"
#include "mapi/pst/PropertyContext.h"
#include "mapi/pst/TableContext.h"

using namespace mailvane::pst;

namespace {

enum class PstFuzzMode : uint8_t {
    kHeap,
    kBth,
    kPropertyContext,
    kTableContext,
    kPage,
    kBlock,
    kNameMap,
    kStore,
};

}  // namespace

#ifndef MAILVANE_PST_SEEDS

namespace {

constexpr uint8_t kPstFuzzModes = 8;

void Heap(std::string_view in) {
    uint8_t client = 0;
    Hid root = 0;
    HeapHeader(in, &client, &root);
    std::string item;
    for (uint32_t page = 0; page < 3; ++page)
        for (uint32_t index = 0; index < 40; ++index) HeapLookup(in, MakeHid(page, index), &item);
}

void Store(std::string_view in) {
    // A store is at least one whole section long; the seeds hold only its
    // first bytes, the rest being zeros.
    MemorySink sink;
    sink.WriteAt(0, in);
    sink.Extend(kFirstAMapOffset + kAMapCoverage);
    Status error;
    auto store = MessageStore::Open(&sink, &error);
    if (!store) return;
    for (Nid folder : {store->ipmSubtree(), store->CreateFolder(store->ipmSubtree(), "More")}) {
        MessageContent m;
        m.props = {{mailvane::mapi::PidTagSubject, std::string("x\0", 2)}};
        store->AddMessage(folder, m);
    }
    store->Checkpoint();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (static_cast<PstFuzzMode>(data[0] % kPstFuzzModes)) {
        case PstFuzzMode::kHeap:
            Heap(in);
            break;
        case PstFuzzMode::kBth: {
            uint8_t key = 0, value = 0;
            std::vector<std::string> records;
            ReadBth(in, MakeHid(0, 1), &key, &value, &records);
            break;
        }
        case PstFuzzMode::kPropertyContext: {
            PropertyList props;
            ReadPropertyContext(NodeContent{std::string(in)}, &props);
            break;
        }
        case PstFuzzMode::kTableContext: {
            // The same bytes serve as a row-matrix subnode, so reads of
            // large tables are reached too.
            TableView view;
            ReadTable(NodeContent{std::string(in),
                                  {{MakeNid(kNidTypeLtp, 1), NodeContent{std::string(in)}}}},
                      &view);
            break;
        }
        case PstFuzzMode::kPage: {
            std::string page(in.substr(0, kPageSize));
            page.resize(kPageSize, '\0');
            BtPageView view;
            DecodeBtPage(page, kFirstAMapOffset, &view);
            DListView dlist;
            DecodeDListPage(page, &dlist);
            Header h;
            DecodeHeader(in, &h);
            break;
        }
        case PstFuzzMode::kBlock: {
            InternalBlockView view;
            DecodeInternalBlock(in, &view);
            std::string payload;
            DecodeBlock(in, kBidStep, kFirstAMapOffset, &payload);
            break;
        }
        case PstFuzzMode::kNameMap: {
            // Three streams, split where the first two bytes say.
            if (in.size() < 2) break;
            size_t a = static_cast<uint8_t>(in[0]) * 4, b = a + static_cast<uint8_t>(in[1]) * 8;
            std::string rest(in.substr(2));
            PropertyList props = {
                {mailvane::mapi::PidTagNameidStreamGuid, rest.substr(0, std::min(a, rest.size()))},
                {mailvane::mapi::PidTagNameidStreamEntry,
                 a < rest.size() ? rest.substr(a, b - a) : std::string()},
                {mailvane::mapi::PidTagNameidStreamString,
                 b < rest.size() ? rest.substr(b) : std::string()}};
            NameMap map;
            map.Load(props);
            break;
        }
        case PstFuzzMode::kStore:
            Store(in);
            break;
    }
    return 0;
}

#else  // the seed writer

#include <fstream>
#include <iostream>

namespace {

std::string Utf16(const char* ascii) {
    std::string out;
    for (const char* c = ascii; *c; ++c) out += {*c, '\0'};
    return out;
}

std::unique_ptr<MessageStore> SmallStore(MemorySink* sink, int messages) {
    auto store = MessageStore::Create(sink, "Seed");
    Nid inbox = store->CreateFolder(store->ipmSubtree(), "Inbox");
    for (int n = 0; n < messages; ++n) {
        MessageContent m;
        m.props = {{mailvane::mapi::PidTagSubject, Utf16("Seed subject")},
                   {mailvane::mapi::PidTagBody, std::string(n * 700, 'b')}};
        m.recipients = {{{mailvane::mapi::PidTagDisplayName, Utf16("Person")}}};
        store->AddMessage(inbox, m);
    }
    store->Checkpoint();
    return store;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: pst_fuzz_seeds FOLDER\n";
        return 2;
    }
    int written = 0;
    auto seed = [&](PstFuzzMode mode, const std::string& bytes) {
        std::ofstream(std::string(argv[1]) + "/seed-" + std::to_string(written++), std::ios::binary)
            << static_cast<char>(mode) << bytes;
    };
    MemorySink sink;
    auto store = SmallStore(&sink, 3);
    NodeContent node;
    Nid inbox = store->FindFolder(store->ipmSubtree(), "Inbox").value_or(0);
    for (Nid nid : {kNidMessageStore, inbox, MakeNid(kNidTypeNormalMessage, kFirstMessageNidIndex)})
        if (store->ndb()->ReadNode(nid, &node)) {
            seed(PstFuzzMode::kHeap, node.data);
            seed(PstFuzzMode::kBth, node.data);
            seed(PstFuzzMode::kPropertyContext, node.data);
        }
    for (uint32_t type : {kNidTypeContentsTable, kNidTypeHierarchyTable})
        if (store->ndb()->ReadNode(WithType(inbox, type), &node))
            seed(PstFuzzMode::kTableContext, node.data);
    PropertyList names;
    if (store->ndb()->ReadNode(kNidNameToIdMap, &node) &&
        ReadPropertyContext(node, &names).empty()) {
        std::string streams[3];
        for (const auto& p : names) {
            if (p.tag == mailvane::mapi::PidTagNameidStreamGuid) streams[0] = p.value;
            if (p.tag == mailvane::mapi::PidTagNameidStreamEntry) streams[1] = p.value;
            if (p.tag == mailvane::mapi::PidTagNameidStreamString) streams[2] = p.value;
        }
        seed(PstFuzzMode::kNameMap, std::string{static_cast<char>(streams[0].size() / 4),
                                                static_cast<char>(streams[1].size() / 8)} +
                                        streams[0] + streams[1] + streams[2]);
    }
    const Header& h = store->ndb()->header();
    std::string file = sink.Contents();
    seed(PstFuzzMode::kPage, file.substr(h.nbt.ib, kPageSize));
    seed(PstFuzzMode::kPage, file.substr(h.bbt.ib, kPageSize));
    seed(PstFuzzMode::kPage, file.substr(0, kHeaderSize));
    seed(PstFuzzMode::kBlock, EncodeXBlock(kXBlockLevel, {8, 12}, 9000));
    seed(PstFuzzMode::kBlock, EncodeSlBlock({{0x3F, 8, 0}, {0x5F, 12, 16}}));
    seed(PstFuzzMode::kBlock, BuildBlock(std::string(100, 'd'), kBidStep, kFirstAMapOffset));
    // Whole stores, without the zeros that end them.
    for (int messages : {0, 3}) {
        MemorySink whole;
        SmallStore(&whole, messages);
        std::string bytes = whole.Contents();
        bytes.erase(bytes.find_last_not_of('\0') + 1);
        seed(PstFuzzMode::kStore, bytes);
    }
    std::cout << written << " seeds\n";
    return 0;
}

#endif
