#pragma once
// One press of Convert: checks the chosen format, asks for the destination,
// then reads every listed mailbox in list order and writes its messages into
// the mailbox's own output folder (destination + source path without root,
// or with the tree on the path from the folder it was found in). With the
// tree and a store per top folder, the mailboxes of one top folder are taken
// together, in the order their top folders were first met.
//
// A failure of one message or mailbox never stops the run; every failure is
// counted and reported with its mailbox, message number and cause.
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "convert/MailboxReader.h"
#include "convert/MessageSorter.h"
#include "convert/MessageWriter.h"
#include "convert/RunHost.h"
#include "convert/RunReport.h"
#include "convert/StoreOutput.h"

namespace mailvane {

class ConversionRun : private ReadEvents, private WriterEvents {
public:
    explicit ConversionRun(RunHost& host, std::size_t blockSize = kReadBlockSize);
    RunReport Run();

private:
    // False when the run must end (a stop, or no store could be had).
    // Where a mailbox goes, chosen before the run starts.
    struct Source {
        std::filesystem::path path;
        // With the tree on and the mailbox found by a folder search: its path
        // from that folder; otherwise empty.
        std::filesystem::path belowRoot;
        // Its store folder, from the top of the store down.
        std::vector<std::string> storeFolder;
    };

    bool ConvertMailbox(const std::filesystem::path& destination, const Source& source,
                        OutputFormat format);
    // Records a failure in the report and shows it to the front end at once.
    void Fail(const std::filesystem::path& mailbox, std::int64_t message, std::string cause);
    // Counts the mailbox failed with `cause` and goes on with the next.
    bool SkipMailbox(const std::filesystem::path& source, const std::string& cause);
    // As SkipMailbox, with the messages the mailbox holds counted failed.
    bool FailMailboxMessages(const std::filesystem::path& source, const std::string& cause);
    // With one store per mailbox, attaches the mailbox's store; false when
    // the mailbox cannot go on (and `sessionError_` set when the run cannot).
    bool OpenMailboxStore(const std::filesystem::path& destination, const Source& source);
    // Completes the open store, if any, and records what it received.
    void FinishStore();
    // The messages saved into the open store since its last checkpoint are
    // not in the file, for `cause`: counted failed, one line per mailbox.
    void LoseUnconfirmed(const std::string& cause);
    std::filesystem::path OutputFolderFor(const std::filesystem::path& destination,
                                          const Source& source);

    void BytesRead(std::uint64_t done) override;
    bool StopRequested() override;
    void MessageSaved(std::int64_t number) override;
    void MessageFailed(std::int64_t number, const std::string& cause) override;

    RunHost& host_;
    const std::size_t blockSize_;
    RunReport report_;
    std::filesystem::path source_;  // the mailbox being read
    std::uint64_t bytesBefore_ = 0, totalBytes_ = 0;
    std::set<std::filesystem::path> usedFolders_;
    StoreOutput store_;
    bool storePerMailbox_ = false;
    // With a store per mailbox and the tree on, the mailboxes of one top
    // folder share its store: it stays open for the next mailbox.
    bool keepStore_ = false;
    unsigned storeMode_ = 0;  // the file mode of the next store per mailbox
    bool tree_ = false;
    bool keepState_ = false;
    SortRules sortRules_;
    std::string sessionError_;  // why no store could be had; ends the run

    // For the mailbox being read into a store: from which message number on
    // its messages go to which line of the store's folder list.
    std::vector<std::pair<std::int64_t, std::size_t>> savedFolders_;
    // A message saved into the store is in the file only once a checkpoint
    // after it reached the file; until then it is listed here.
    struct Unconfirmed {
        std::filesystem::path mailbox;
        std::int64_t number;
        std::size_t listed;  // its line in the store's folder list
        std::size_t result;  // its mailbox's line in the report
    };
    std::vector<Unconfirmed> unconfirmed_;
    // Messages saved into the open store, by their mailbox's line in the report.
    std::map<std::size_t, std::int64_t> savedInStore_;
    std::uint64_t checkpointsSeen_ = 0;
    // The store is the output (not message files passing through it), so
    // what it loses is lost.
    bool countsInStore_ = false;
    std::string storeLost_;           // why the open store takes nothing more, once seen
    std::int64_t failedQuietly_ = 0;  // since then, in the mailbox being read
};

// The texts the run shows.
inline constexpr const char* kAppTitle = "Mailvane";
inline constexpr const char* kNoOptionText = "Please select a option to convert file(s).";
inline constexpr const char* kChooseDestinationTitle = "Choose Folder to Save...";
inline constexpr const char* kOneStoreName = "MBOX Mailbox : Created - ";
inline constexpr const char* kStagingStoreName = "Temp : Created - ";
inline constexpr const char* kSessionErrorTitle = "Outlook Error";
inline constexpr const char* kSessionErrorText = "Outlook Session Creation Error !";
std::string MailboxCaption(std::size_t number, std::size_t count);  // "Mailbox 1 (of 3) "
std::string SavedCaption(std::int64_t number);                      // "Saved 3 Email Messages..."

}  // namespace mailvane
