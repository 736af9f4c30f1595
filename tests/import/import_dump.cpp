// Imports every message of a mailbox file and prints an account of the items,
// or compares it with the expected text.
//
//   mailvane-import-dump MAILBOX             print the account
//   mailvane-import-dump MAILBOX EXPECTED    compare; with MAILVANE_UPDATE_GOLDEN=1
//                                            set, write EXPECTED instead
//
// The mailbox is cut by the run's own splitter (CR LF line ends), so each
// message reaches the import exactly as it does in a conversion.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/TestFiles.h"
#include "convert/MessageSplitter.h"
#include "import/ItemDump.h"
#include "mapi/MailItem.h"
#include "mapi/import/MimeImport.h"

namespace {

class Importer : public mailvane::MessageSink {
public:
    void WriteMessage(const mailvane::CutMessage& m) override {
        mailvane::mapi::MailItem item;
        std::string cause = mailvane::mapi::ImportMessage(m.separatorLine(), m.afterSeparator(),
                                                          m.beforeSeparator(), item);
        account += "message " + std::to_string(++count) + "\n";
        if (!cause.empty()) account += "  failed: " + cause + "\n";
        account += mailvane::test::DumpItem(item);
    }
    std::string account;
    int count = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s MAILBOX [EXPECTED]\n", argv[0]);
        return 2;
    }
    using mailvane::test::ReadFile;
    if (!std::filesystem::is_regular_file(argv[1])) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    Importer importer;
    mailvane::MessageSplitter splitter(mailvane::LineEnd::CrLf, importer);
    splitter.SaveMBOXFile(ReadFile(argv[1]));
    splitter.Finish();
    if (argc == 2) {
        std::fwrite(importer.account.data(), 1, importer.account.size(), stdout);
        return 0;
    }
    const char* update = std::getenv("MAILVANE_UPDATE_GOLDEN");
    if (update && *update == '1') {
        return mailvane::test::WriteFile(argv[2], importer.account) ? 0 : 1;
    }
    if (!std::filesystem::is_regular_file(argv[2])) {
        std::fprintf(stderr, "no expected account %s (MAILVANE_UPDATE_GOLDEN=1 writes it)\n",
                     argv[2]);
        return 1;
    }
    if (ReadFile(argv[2]) == importer.account) return 0;
    std::fprintf(stderr, "account differs from %s; it is:\n", argv[2]);
    std::fwrite(importer.account.data(), 1, importer.account.size(), stderr);
    return 1;
}
