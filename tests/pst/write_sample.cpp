// Writes stores for the reader checks through the object model, with a
// manifest (JSON) of everything a reader must find in them.
//
//   write_sample rich OUT.pst MANIFEST     several folders, many messages
//   write_sample empty OUT.pst             a new store with nothing added
//   write_sample small OUT.pst MANIFEST    one folder of ten messages
//   write_sample bulk OUT.pst MANIFEST MB  1 MB attachments until MB megabytes
//   write_sample append OUT.pst MANIFEST   reopens OUT.pst, adds a folder
//   write_sample kill OUT.pst EVERY        adds messages until killed,
//                                          printing each checkpoint's count
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "mapi/Folder.h"
#include "mapi/MailItem.h"
#include "mapi/Session.h"
#include "mapi/format/PropTags.h"

using namespace mailvane::mapi;

namespace {

std::string Json(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Attachment bytes the checker can regenerate from (seed, size).
std::string Pattern(uint32_t seed, size_t size) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

struct Written {
    std::string folder, subject, body;
    std::vector<std::pair<std::string, std::string>> recipients;  // name, address
    std::vector<std::pair<uint32_t, size_t>> attachments;         // seed, size
    std::string embedded_subject;
};

// Characters outside the BMP are left out: the Debian build of the pff
// readers decodes surrogate pairs wrongly (our own round trip covers them).
const char* kSubjects[] = {"Quarterly report", "Grüße aus Köln",   "Привет, мир",
                           "会议通知 — 明天",  "Ünïcödé ✓ ★ test", "Re: lunch?"};

Written AddMessage(Folder& folder, const std::string& folder_path, int n, bool rich) {
    Written w;
    w.folder = folder_path;
    w.subject = std::string(kSubjects[n % 6]) + " #" + std::to_string(n);
    w.body = "Message " + std::to_string(n) + "\r\n";
    // Long bodies cross the heap (3,580) and block (8,176) limits.
    size_t lines = rich ? static_cast<size_t>((n * 37) % 400) : 3;
    for (size_t i = 0; i < lines; ++i)
        w.body += "Line " + std::to_string(i) + " of the body, ünïcode.\r\n";
    auto item = folder.Items().Add();
    item->SetProperty(PidTagSubject, w.subject);
    item->SetProperty(PidTagBody, w.body);
    item->SetProperty(PidTagSenderName, std::string("Sender ") + std::to_string(n));
    item->SetProperty(PidTagSentRepresentingName, std::string("Sender ") + std::to_string(n));
    item->SetProperty(PidTagMessageDeliveryTime, FileTime::FromUnix(1700000000 + n * 60));
    item->SetProperty(PidTagClientSubmitTime, FileTime::FromUnix(1700000000 + n * 60));
    // Named properties: a numbered one and one known by its name.
    item->SetNamedProperty("{00062008-0000-0000-C000-000000000046}", 0x8580, 0x001F,
                           std::string("Account ") + std::to_string(n % 3));
    item->SetNamedProperty("{00020386-0000-0000-C000-000000000046}", std::string("x-list-id"),
                           0x001F, std::string("list ") + std::to_string(n));
    // PidNameContentType, spelt as mail spells it: stored as "content-type".
    item->SetNamedProperty("{00020386-0000-0000-C000-000000000046}", std::string("Content-Type"),
                           0x001F, std::string("text/plain; charset=\"utf-8\""));
    int recipients = rich ? 1 + n % 4 + (n % 50 == 0 ? 60 : 0) : 1;
    std::string to;
    for (int r = 0; r < recipients; ++r) {
        std::string name = "Person " + std::to_string(r) + " Ø";
        std::string address = "p" + std::to_string(r) + "@example.org";
        item->AddRecipient(name, address, r == 0 ? 1 : 2);
        w.recipients.emplace_back(name, address);
        if (r == 0) to = name;
    }
    if (rich && n % 7 == 0) {
        // A name with no address ("To: Fred"): no entry id, no record key.
        item->AddRecipient("Fred", "", 1);
        w.recipients.emplace_back("Fred", "");
    }
    item->SetProperty(PidTagDisplayTo, to);
    if (rich && n % 5 == 0) {
        static const size_t kSizes[] = {0, 1, 3580, 8175, 8176, 8177, 20000, 3 * 1024 * 1024 + 7};
        size_t size = kSizes[(n / 5) % 8];
        uint32_t seed = static_cast<uint32_t>(n);
        item->AddAttachment().SetFile("file" + std::to_string(n) + ".bin", Pattern(seed, size));
        w.attachments.emplace_back(seed, size);
    }
    if (rich && n % 17 == 3) {
        MailItem& inner = item->AddAttachment().EmbeddedMessage();
        w.embedded_subject = "Embedded in " + std::to_string(n);
        inner.SetProperty(PidTagMessageClass, std::string("IPM.Note"));
        inner.SetProperty(PidTagSubject, w.embedded_subject);
        inner.SetProperty(PidTagBody, std::string("Inner body"));
        inner.AddRecipient("Inner Person", "inner@example.org", 1);
    }
    // As a conversion saves: the values handed over, recipients taken late.
    if (std::string err = item->SaveAndRelease(); !err.empty()) {
        std::cerr << "save: " << err << "\n";
        std::exit(1);
    }
    return w;
}

void WriteManifest(const std::string& path, const std::vector<std::string>& folders,
                   const std::vector<Written>& messages) {
    std::ofstream out(path);
    out << "{\"folders\": [";
    for (size_t i = 0; i < folders.size(); ++i) out << (i ? ", " : "") << Json(folders[i]);
    out << "],\n\"messages\": [\n";
    for (size_t i = 0; i < messages.size(); ++i) {
        const Written& w = messages[i];
        out << (i ? ",\n" : "") << "{\"folder\": " << Json(w.folder)
            << ", \"subject\": " << Json(w.subject) << ", \"body\": " << Json(w.body)
            << ", \"embedded\": " << Json(w.embedded_subject) << ", \"recipients\": [";
        for (size_t r = 0; r < w.recipients.size(); ++r)
            out << (r ? ", " : "") << "[" << Json(w.recipients[r].first) << ", "
                << Json(w.recipients[r].second) << "]";
        out << "], \"attachments\": [";
        for (size_t a = 0; a < w.attachments.size(); ++a)
            out << (a ? ", " : "") << "[" << w.attachments[a].first << ", "
                << w.attachments[a].second << "]";
        out << "]}";
    }
    out << "]}\n";
}

int Fail(const std::string& what) {
    std::cerr << what << "\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Fail("usage: write_sample MODE OUT.pst [ARG]");
    std::string mode = argv[1], path = argv[2];
    Session session;
    std::string error;
    Store* store = session.AddPSTStore(path, "Sample Store", &error);
    if (!store) return Fail(error);
    std::vector<std::string> folders;
    std::vector<Written> messages;
    if (mode == "rich") {
        // Several folders, one nested, messages spread over them.
        Folder* inbox = store->IPMRootFolder().Folders().Add("Inbox");
        Folder* archive = store->IPMRootFolder().Folders().Add("Archive 2024 — Ärchiv");
        Folder* nested = archive->Folders().Add("Nested");
        Folder* empty = store->IPMRootFolder().Folders().Add("Empty");
        // Checkpoints at a fixed, odd rhythm, so tables are rewritten many
        // times and the same way on every run.
        store->SetCheckpointPolicy(37, std::chrono::hours(1));
        (void)empty;
        folders = {"Inbox", "Archive 2024 — Ärchiv", "Archive 2024 — Ärchiv/Nested", "Empty"};
        Folder* found = session.GetFolderFromPath("\\\\Sample Store\\Inbox");
        if (found != inbox) return Fail("GetFolderFromPath did not find Inbox");
        if (session.GetFolderFromPath("\\\\Sample Store\\Archive 2024 — Ärchiv\\Nested") != nested)
            return Fail("GetFolderFromPath did not find Nested");
        for (int n = 0; n < 420; ++n) {
            if (n % 7 == 0)
                messages.push_back(AddMessage(*archive, folders[1], n, true));
            else if (n % 11 == 0)
                messages.push_back(AddMessage(*nested, folders[2], n, true));
            else
                messages.push_back(AddMessage(*inbox, folders[0], n, true));
        }
        // Saving an item twice keeps one message with the later values.
        auto twice = inbox->Items().Add();
        twice->SetProperty(PidTagSubject, std::string("Saved twice (first)"));
        twice->Save();
        HrSetOneProp(*twice, PidTagMessageFlags, int32_t{0x11}, true);
        twice->SetProperty(PidTagSubject, std::string("Saved twice"));
        twice->Save();
        Written w;
        w.folder = "Inbox";
        w.subject = "Saved twice";
        messages.push_back(w);
    } else if (mode == "small") {
        Folder* inbox = store->IPMRootFolder().Folders().Add("Inbox");
        folders = {"Inbox"};
        for (int n = 0; n < 10; ++n) messages.push_back(AddMessage(*inbox, "Inbox", n, false));
    } else if (mode == "bulk") {
        // Messages of 1 MB attachments until the store passes `megabytes`.
        long megabytes = argc > 4 ? std::atol(argv[4]) : 5200;
        Folder* bulk = store->IPMRootFolder().Folders().Add("Bulk");
        folders = {"Bulk"};
        for (int n = 0; n < megabytes; ++n) {
            auto item = bulk->Items().Add();
            Written w;
            w.folder = "Bulk";
            w.subject = "Bulk " + std::to_string(n);
            item->SetProperty(PidTagSubject, w.subject);
            item->AddAttachment().SetFile("part.bin", Pattern(static_cast<uint32_t>(n), 1 << 20));
            w.attachments.emplace_back(static_cast<uint32_t>(n), size_t{1} << 20);
            if (std::string err = item->Save(); !err.empty()) return Fail(err);
            messages.push_back(w);
        }
    } else if (mode == "append") {
        Folder* more = store->IPMRootFolder().Folders().Add("Appended");
        folders = {"Appended"};
        for (int n = 0; n < 30; ++n) {
            messages.push_back(AddMessage(*more, "Appended", 1000 + n, false));
            if (n != 15) continue;
            // A message past a limit of the format is refused alone, with its
            // cause: the messages around it and the store stay whole.
            auto crowded = more->Items().Add();
            crowded->SetProperty(PidTagSubject, std::string("Refused"));
            for (size_t a = 0; a < mailvane::pst::kMaxSubnodes; ++a) crowded->AddAttachment();
            if (crowded->Save().find("attachments, more than") == std::string::npos)
                return Fail("a message of too many attachments was not refused");
        }
        if (Folder* inbox = store->IPMRootFolder().Folders().Item("Inbox")) {
            for (int n = 0; n < 5; ++n)
                messages.push_back(AddMessage(*inbox, "Inbox", 2000 + n, false));
        }
    } else if (mode == "kill") {
        int every = argc > 3 ? std::atoi(argv[3]) : 50;
        Folder* folder = store->IPMRootFolder().Folders().Add("Killed");
        store->SetCheckpointPolicy(1 << 30, std::chrono::hours(24));
        for (int n = 1;; ++n) {
            AddMessage(*folder, "Killed", n, n % 3 == 0);
            if (n % every == 0) {
                if (std::string err = store->Checkpoint(); !err.empty()) return Fail(err);
                std::printf("checkpoint %d\n", n);
                std::fflush(stdout);
            }
        }
    } else if (mode != "empty") {
        return Fail("unknown mode " + mode);
    }
    if (std::string err = session.Logoff(); !err.empty()) return Fail(err);
    if (argc > 3) WriteManifest(argv[3], folders, messages);
    return 0;
}
