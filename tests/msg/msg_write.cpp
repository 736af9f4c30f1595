// Imports every message of a mailbox and saves each as Email-N.msg, with an
// account (Email-N.json) of every property the item held, for the reader
// checks to compare with.
//
//   msg_write MAILBOX OUTDIR              items of no store
//   msg_write MAILBOX OUTDIR STORE.pst    items of a store folder, saved into
//                                         the store first, as the run does
//
// The account is the item's content as the store writer takes it: each
// object's properties by tag with their stored bytes in hexadecimal.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "convert/MessageSplitter.h"
#include "mapi/Folder.h"
#include "mapi/MailItem.h"
#include "mapi/Session.h"
#include "mapi/format/PropTags.h"
#include "mapi/import/MimeImport.h"

namespace {

using namespace mailvane;

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string PropsJson(const pst::PropertyList& props) {
    std::string out = "{";
    for (const auto& p : props) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "%08X", p.tag);
        if (out.size() > 1) out += ",";
        out += "\"" + std::string(tag) + "\":\"" + Hex(p.value) + "\"";
    }
    return out + "}";
}

std::string NamedJson(const mapi::PropertyBag& bag) {
    std::string out = "[";
    for (const auto& n : bag.named()) {
        if (out.size() > 1) out += ",";
        out += "{\"set\":\"" + Hex(n.set) + "\",\"lid\":" + std::to_string(n.lid) +
               ",\"name\":" + (n.byName ? "\"" + n.name + "\"" : "null") +
               ",\"type\":" + std::to_string(n.type) + ",\"value\":\"" + Hex(n.value) +
               "\"}";
    }
    return out + "]";
}

std::string ContentJson(const pst::MessageContent& m, const std::string& named = "[]") {
    std::string out =
        "{\"props\":" + PropsJson(m.props) + ",\"named\":" + named + ",\"recipients\":[";
    for (size_t i = 0; i < m.recipients.size(); ++i)
        out += (i ? "," : "") + PropsJson(m.recipients[i]);
    out += "],\"attachments\":[";
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        out += std::string(i ? "," : "") + "{\"props\":" + PropsJson(m.attachments[i].props);
        if (m.attachments[i].embedded)
            out += ",\"embedded\":" + ContentJson(*m.attachments[i].embedded);
        out += "}";
    }
    return out + "]}";
}

// Named properties Outlook sets on received mail, one of each kind: a
// multi-valued string by name, a transport header (PidNameContentType,
// spelt as mail spells it; Outlook keeps and hashes header names in lower
// case) and one by number.
void AddNamedProperties(mapi::MailItem& item) {
    item.SetNamedProperty("{00020329-0000-0000-C000-000000000046}", std::string("Keywords"), 0x101F,
                          std::vector<std::string>{"mailvane", "Ünïcode"});
    item.SetNamedProperty("{00020386-0000-0000-C000-000000000046}", std::string("Content-Type"),
                          0x001F, std::string("text/plain; charset=\"utf-8\""));
    item.SetNamedProperty("{00062008-0000-0000-C000-000000000046}", 0x8580, 0x001F,
                          std::string("test account"));
}

class Writer : public MessageSink {
public:
    // The run's way: the output folder held open, each file put in place
    // whole.
    Writer(std::string outdir, mapi::Folder* folder) : outdir_(std::move(outdir)), folder_(folder) {
        opened_ = folder_out_.Open(outdir_);
    }
    const std::string& opened() const { return opened_; }

    void WriteMessage(const CutMessage& m) override {
        const std::string file = "Email-" + std::to_string(++count_);
        const std::string name = outdir_ + "/" + file;
        auto item = folder_ ? folder_->Items().Add() : std::make_unique<mapi::MailItem>();
        std::string cause =
            mapi::ImportMessage(m.separatorLine(), m.afterSeparator(), m.beforeSeparator(), *item);
        if (cause.empty()) AddNamedProperties(*item);
        if (cause.empty() && folder_)
            cause = mapi::HrSetOneProp(*item, mapi::PidTagMessageFlags,
                                       int32_t{mapi::MSGFLAG_READ | mapi::MSGFLAG_HASATTACH}, true);
        if (cause.empty()) cause = item->SaveAs(folder_out_, file + ".msg");
        if (!cause.empty()) {
            std::fprintf(stderr, "message %d: %s\n", count_, cause.c_str());
            failed_ = true;
            return;
        }
        std::ofstream(name + ".json", std::ios::binary)
            << ContentJson(item->Content(), NamedJson(*item));
    }
    bool failed() const { return failed_; }

private:
    std::string outdir_;
    OutputFolder folder_out_;
    std::string opened_;
    mapi::Folder* folder_;
    int count_ = 0;
    bool failed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: %s MAILBOX OUTDIR [STORE.pst]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string mailbox{std::istreambuf_iterator<char>(in), {}};
    if (!in && !in.eof()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    mapi::Session session;
    mapi::Folder* folder = nullptr;
    if (argc == 4) {
        std::string error;
        mapi::Store* store = session.AddPSTStore(argv[3], "Staging", &error);
        if (!store) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        folder = store->IPMRootFolder().Folders().Add("Mailbox");
    }
    Writer writer(argv[2], folder);
    if (!writer.opened().empty()) {
        std::fprintf(stderr, "%s: %s\n", argv[2], writer.opened().c_str());
        return 1;
    }
    MessageSplitter splitter(LineEnd::CrLf, writer);
    splitter.SaveMBOXFile(mailbox);
    splitter.Finish();
    std::string closed = session.Logoff();
    if (!closed.empty()) std::fprintf(stderr, "%s\n", closed.c_str());
    return writer.failed() || !closed.empty() ? 1 : 0;
}
