// pst_bench OUT.pst N: stores N generated messages into the folder "Bench"
// of a new store through the object model, as a conversion run would.
// Messages have several recipients, Unicode subjects, plain and HTML
// bodies, and about one in six an attachment of 2 to 120 KB. N = 0 writes
// an empty store.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <string>

#include "mapi/Folder.h"
#include "mapi/MailItem.h"
#include "mapi/Session.h"
#include "mapi/format/PropTags.h"

using namespace mailvane::mapi;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: pst_bench OUT.pst N\n";
        return 2;
    }
    const std::string path = argv[1];
    const long count = std::atol(argv[2]);
    Session session;
    std::string error;
    Store* store = session.AddPSTStore(path, "Bench Store", &error);
    if (!store) {
        std::cerr << error << "\n";
        return 1;
    }
    Folder* folder = store->IPMRootFolder().Folders().Add("Bench");
    if (std::getenv("PST_BENCH_NO_CHECKPOINTS"))
        store->SetCheckpointPolicy(1 << 30, std::chrono::hours(1));
    std::mt19937 rng(42);
    static const char* kWords[] = {"Quarterly", "Grüße",    "Привет", "会议",   "naïve", "report",
                                   "meeting",   "Ελληνικά", "update", "日本語", "déjà",  "vu"};
    for (long n = 0; n < count; ++n) {
        auto item = folder->Items().Add();
        std::string subject;
        for (int w = 0; w < 4 + static_cast<int>(rng() % 5); ++w)
            subject += std::string(kWords[rng() % 12]) + " ";
        subject += std::to_string(n);
        std::string body;
        size_t lines = 5 + rng() % 60;
        for (size_t l = 0; l < lines; ++l)
            body += "Line " + std::to_string(l) + ": " + kWords[rng() % 12] +
                    " text of the message body.\r\n";
        item->SetProperty(PidTagSubject, subject);
        item->SetProperty(PidTagBody, body);
        item->SetProperty(PidTagHtml, Binary{"<html><body><p>" + body + "</p></body></html>"});
        item->SetProperty(PidTagSenderName, std::string("Sender Ünï ") + std::to_string(n % 97));
        item->SetProperty(PidTagSentRepresentingName,
                          std::string("Sender Ünï ") + std::to_string(n % 97));
        item->SetProperty(PidTagSenderEmailAddress,
                          std::string("sender") + std::to_string(n % 97) + "@example.org");
        item->SetProperty(PidTagMessageDeliveryTime, FileTime::FromUnix(1700000000 + n));
        item->SetProperty(PidTagClientSubmitTime, FileTime::FromUnix(1700000000 + n));
        int recipients = 2 + static_cast<int>(rng() % 4);
        std::string to;
        for (int r = 0; r < recipients; ++r) {
            std::string number = std::to_string(r);
            std::string name = "Recipient " + number;
            std::string address = "r" + number + "@example.org";
            item->AddRecipient(name, address, r == 0 ? 1 : 2);
            if (r > 0) to += "; ";
            to += name;
        }
        item->SetProperty(PidTagDisplayTo, to);
        if (rng() % 6 == 0) {
            std::string data(2048 + rng() % (118 * 1024), '\0');
            // Incompressible bytes, eight at a time (xorshift).
            uint64_t x = rng() | (uint64_t{rng()} << 32) | 1;
            for (size_t i = 0; i + 8 <= data.size(); i += 8) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                std::memcpy(data.data() + i, &x, 8);
            }
            item->AddAttachment().SetFile("attachment" + std::to_string(n) + ".bin",
                                          std::move(data));
        }
        if (std::string err = item->Save(); !err.empty()) {
            std::cerr << "save failed: " << err << "\n";
            return 1;
        }
    }
    if (std::string err = session.Logoff(); !err.empty()) {
        std::cerr << err << "\n";
        return 1;
    }
    return 0;
}
