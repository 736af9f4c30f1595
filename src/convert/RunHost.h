#pragma once
// What a conversion run needs from its front end (the window or the command
// line). The run asks for everything through this interface at the moment it
// needs it and keeps no copy of the host's settings. All calls come from the
// thread the run is on; the window runs it on a thread of its own and
// carries each call to its controls (app/BackgroundRun.h).
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// <windows.h> defines Yield() as an empty macro (left from 16-bit Windows),
// which would take RunHost::Yield away wherever it was included first.
#ifdef Yield
#undef Yield
#endif

namespace mailvane {

struct RunFailure;
struct RunReport;

enum class OutputFormat { None, Eml, Emlx, Msg, Pst };

// What becomes of a Gmail export's labels (X-Gmail-Labels).
enum class LabelLayout {
    Unasked,     // the user's labels become the item's categories; nothing else changes
    Categories,  // the same, with Spam and Trash left out unless asked for
    Folders,     // each message in the folder of its first label, Spam and Trash as above
};

struct OutputOptions {
    OutputFormat format = OutputFormat::None;
    bool onePstForAll = false;         // the one-store box is checked...
    bool onePstForAllEnabled = false;  // ...and can be used
    // Messages the mail program deleted (still in the mailbox, marked
    // expunged) are converted too, instead of left out.
    bool includeDeleted = false;
    // PST items and message files read, answered and flagged as the mail
    // program recorded, instead of all marked read.
    bool keepState = false;
    // A mailbox found by searching a folder goes where its mail program
    // shows it below that folder (store folders nested, message files below
    // the destination by their path from it) rather than into a flat folder.
    bool tree = false;
    LabelLayout labels = LabelLayout::Unasked;
    // With the labels asked for: Gmail's Spam and Trash converted too.
    bool includeSpam = false;
    bool includeTrash = false;
};

enum class MessageKind { Information, Warning };

class RunHost {
public:
    virtual ~RunHost() = default;

    virtual OutputOptions Options() = 0;
    // The destination folder, or nothing when the user cancelled.
    virtual std::optional<std::filesystem::path> ChooseDestination(const std::string& title) = 0;
    // The source list: its rows, each a mailbox path (a blank row is skipped).
    virtual std::size_t SourceRowCount() = 0;
    virtual std::filesystem::path SourceRow(std::size_t row) = 0;
    // The folder the user gave in which the row's mailbox was found, or
    // nothing for a mailbox given as a file. Asked only with the tree on.
    virtual std::filesystem::path SourceRoot(std::size_t row) {
        (void)row;
        return {};
    }

    // The three progress captions: which mailbox of how many, the mailbox's
    // file name, and the count of saved messages.
    virtual void ShowMailboxCaption(const std::string& text) = 0;
    virtual void ShowFileCaption(const std::string& text) = 0;
    virtual void ShowSavedCaption(const std::string& text) = 0;
    // Message `number` of the mailbox being read was saved (just before its
    // caption), for a front end that lists each one.
    virtual void ShowMessageSaved(std::int64_t number) { (void)number; }
    // Messages of the mailbox being read that were counted saved and are not
    // in the store after all (its next write failed).
    virtual void ShowMessagesLost(std::int64_t count) { (void)count; }
    // Bytes done of all mailboxes, and their total size: called after every
    // read, and whenever `done` changes otherwise (a mailbox passed over
    // counts its size as done), so a host can tell each mailbox's share as
    // what comes after the `done` it last saw when the mailbox started.
    virtual void ShowProgressBytes(std::uint64_t done, std::uint64_t total) = 0;

    virtual void ShowMessage(MessageKind kind, const std::string& title,
                             const std::string& text) = 0;
    // Each failure the moment the run records it (the report keeps it too),
    // for a front end that lists failures as they happen.
    virtual void ShowFailure(const RunFailure& failure) { (void)failure; }

    virtual void RunStarted() = 0;
    virtual void RunFinished(const RunReport& report) = 0;
    // Lets the front end keep its window alive; called often, so a host
    // should do real work only when some time has passed.
    virtual void Yield() = 0;
    // True once the user asked to stop (closing the window, Ctrl-C): the run
    // ends after the message being written.
    virtual bool StopRequested() = 0;
};

}  // namespace mailvane
