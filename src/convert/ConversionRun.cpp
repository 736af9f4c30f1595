#include "convert/ConversionRun.h"

#include <cctype>
#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "convert/HeaderFields.h"
#include "convert/MailboxFile.h"
#include "convert/RunReport.h"
#include "convert/StoreMessageWriter.h"
#include "support/Paths.h"

namespace mailvane {

namespace fs = std::filesystem;

std::string MailboxCaption(std::size_t number, std::size_t count) {
    return "Mailbox " + std::to_string(number) + " (of " + std::to_string(count) + ") ";
}

std::string SavedCaption(std::int64_t number) {
    return "Saved " + std::to_string(number) + " Email Messages...";
}

namespace {

// When the mailbox was last written: the nearest date there is for a mail
// that carries none of its own.
std::optional<mapi::FileTime> MailboxTime(const fs::path& source) {
    std::error_code error;
    const fs::file_time_type written = fs::last_write_time(source, error);
    if (error) return std::nullopt;
    const auto since1970 = std::chrono::file_clock::to_sys(written).time_since_epoch();
    return mapi::FileTime::FromUnix(
        std::chrono::duration_cast<std::chrono::seconds>(since1970).count());
}

bool EndsWithNoCase(std::string_view text, std::string_view end) {
    if (text.size() < end.size()) return false;
    for (std::size_t i = 0; i < end.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[text.size() - end.size() + i])) != end[i])
            return false;
    }
    return true;
}

// The folders a mail program shows for the mailbox `source`, at `relative`
// below the folder searched. Thunderbird keeps the subfolders of mailbox X in a folder
// "X.sbd" beside it; Apple Mail exports mailbox X as a folder "X.mbox"
// holding its messages in a file "mbox" and its subfolders' X.mbox folders;
// any other folder on disk is a folder of that name.
std::vector<std::string> TreeFolders(const fs::path& source, const fs::path& relative) {
    const std::vector<fs::path> parts(relative.begin(), relative.end());
    std::vector<std::string> names;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string part = TrimBlanks(DisplayPath(parts[i]));
        if (i + 1 == parts.size()) {
            if (part == "mbox" && i > 0 && EndsWithNoCase(DisplayPath(parts[i - 1]), ".mbox"))
                break;
            // The whole path, for the "mbox" of an X.mbox folder searched itself.
            names.push_back(MailboxName(source));
            break;
        }
        std::string name = part;
        for (const std::string_view kept : {std::string_view(".sbd"), std::string_view(".mbox")}) {
            if (part.size() > kept.size() && EndsWithNoCase(part, kept)) {
                const std::string stem = TrimBlanks(part.substr(0, part.size() - kept.size()));
                if (!stem.empty()) name = stem;
            }
        }
        names.push_back(name.empty() ? DisplayPath(parts[i]) : name);
    }
    return names;
}

// The mailbox's path from the folder it was found in, or nothing when it is
// not below it.
fs::path BelowRoot(const fs::path& source, const fs::path& root) {
    if (root.empty()) return {};
    std::error_code ignored;
    const fs::path whole = fs::absolute(source, ignored).lexically_normal();
    const fs::path top = fs::absolute(root, ignored).lexically_normal();
    const fs::path relative = whole.lexically_relative(top);
    if (relative.empty() || *relative.begin() == ".." || *relative.begin() == ".") return {};
    return relative;
}

}  // namespace

ConversionRun::ConversionRun(RunHost& host, std::size_t blockSize)
    : host_(host), blockSize_(blockSize) {}

RunReport ConversionRun::Run() {
    report_ = RunReport{};
    const OutputFormat format = host_.Options().format;
    if (format == OutputFormat::None) {
        host_.ShowMessage(MessageKind::Information, kAppTitle, kNoOptionText);
        return report_;
    }
    const auto chosen = host_.ChooseDestination(kChooseDestinationTitle);
    if (!chosen || chosen->empty()) return report_;
    const fs::path destination = *chosen;

    host_.Yield();
    report_.started = true;
    report_.format = format;
    host_.RunStarted();

    const OutputOptions options = host_.Options();
    storePerMailbox_ =
        format == OutputFormat::Pst && !(options.onePstForAll && options.onePstForAllEnabled);
    keepState_ = options.keepState;
    countsInStore_ = format == OutputFormat::Pst;
    unconfirmed_.clear();
    savedInStore_.clear();
    checkpointsSeen_ = 0;
    storeLost_.clear();
    sortRules_ = SortRules{};
    sortRules_.includeDeleted = options.includeDeleted;
    if (options.labels != LabelLayout::Unasked) {
        sortRules_.skipSpam = !options.includeSpam;
        sortRules_.skipTrash = !options.includeTrash;
        sortRules_.labelFolders = options.labels == LabelLayout::Folders;
    }
    tree_ = options.tree;

    // The list is taken once; blank rows are no mailboxes and are not counted.
    std::vector<Source> sources;
    const std::size_t rows = host_.SourceRowCount();
    for (std::size_t row = 0; row < rows; ++row) {
        Source source{host_.SourceRow(row), {}, {}};
        if (TrimBlanks(DisplayPath(source.path)).empty()) continue;
        if (tree_) source.belowRoot = BelowRoot(source.path, host_.SourceRoot(row));
        source.storeFolder = source.belowRoot.empty() ? std::vector{MailboxName(source.path)}
                                                      : TreeFolders(source.path, source.belowRoot);
        sources.push_back(std::move(source));
    }
    // A store per top folder takes the mailboxes below it one after the
    // other, so it is made once: they are taken in the order their top
    // folders were first met. A mailbox given as a file keeps a store of its
    // own, as without the tree.
    const auto sharesStore = [this](const Source& a, const Source& b) {
        return tree_ && !a.belowRoot.empty() && !b.belowRoot.empty() &&
               a.storeFolder.front() == b.storeFolder.front();
    };
    if (storePerMailbox_ && tree_) {
        std::vector<std::size_t> order;
        std::vector<bool> placed(sources.size(), false);
        for (std::size_t first = 0; first < sources.size(); ++first) {
            if (placed[first]) continue;
            for (std::size_t next = first; next < sources.size(); ++next) {
                if (placed[next] || !(next == first || sharesStore(sources[first], sources[next])))
                    continue;
                order.push_back(next);
                placed[next] = true;
            }
        }
        std::vector<Source> grouped;
        for (const std::size_t index : order) grouped.push_back(std::move(sources[index]));
        sources = std::move(grouped);
    }
    totalBytes_ = 0;
    for (const auto& source : sources) {
        std::error_code ignored;
        const auto size = fs::file_size(source.path, ignored);
        if (!ignored) totalBytes_ += size;
    }
    bytesBefore_ = 0;
    usedFolders_.clear();
    sessionError_.clear();
    // One store takes every mailbox: the store asked for, or for message
    // files the staging store each message passes through (it stays).
    if ((format == OutputFormat::Pst && !storePerMailbox_) || format == OutputFormat::Msg) {
        const std::string stamp = StoreTimeStamp(std::time(nullptr));
        const bool staging = format == OutputFormat::Msg;
        const fs::path path = destination / ((staging ? "Temp" : "MBOX") + stamp + ".pst");
        // One store holds every mailbox's mail: it is no more readable than
        // the most private of them.
        unsigned mode = kDefaultFileMode;
        for (const auto& source : sources) mode &= OutputModeFor(source.path);
        // Without it no mailbox can be converted, whatever the cause.
        sessionError_ =
            store_.Open(path, (staging ? kStagingStoreName : kOneStoreName) + stamp, mode)
                .message();
    }

    for (std::size_t index = 0; sessionError_.empty() && index < sources.size(); ++index) {
        if (host_.StopRequested()) {
            report_.stopped = true;
            break;
        }
        host_.Yield();
        host_.ShowMailboxCaption(MailboxCaption(index + 1, sources.size()));
        ++report_.mailboxes;
        report_.mailboxResults.push_back({sources[index].path, 0, 0});
        keepStore_ = index + 1 < sources.size() && sharesStore(sources[index], sources[index + 1]);
        if (storePerMailbox_ && !store_.isOpen()) {
            // The store is no more readable than the most private mailbox in it.
            storeMode_ = OutputModeFor(sources[index].path);
            for (std::size_t next = index + 1;
                 next < sources.size() && sharesStore(sources[index], sources[next]); ++next)
                storeMode_ &= OutputModeFor(sources[next].path);
        }
        if (!ConvertMailbox(destination, sources[index], format)) break;
    }
    // The store is finished however the run ended, so that it opens.
    FinishStore();

    if (!sessionError_.empty()) {
        // The run ends at once, as when no store can be had: what was done
        // before stays, and the message says which file failed and why.
        report_.sessionError = true;
        Fail(store_.path(), 0, sessionError_);
        host_.ShowMessage(MessageKind::Information, kSessionErrorTitle,
                          std::string(kSessionErrorText) + "\n" + sessionError_);
        host_.RunFinished(report_);
        return report_;
    }
    const bool clean = report_.Clean();
    host_.ShowMessage(clean ? MessageKind::Information : MessageKind::Warning, kAppTitle,
                      CompletionText(report_));
    host_.RunFinished(report_);
    return report_;
}

fs::path ConversionRun::OutputFolderFor(const fs::path& destination, const Source& source) {
    const fs::path folder =
        source.belowRoot.empty() ? PathWithoutRoot(source.path) : source.belowRoot;
    fs::path chosen = folder;
    // Two sources never share a folder: the later one gets " (2)", " (3)"...
    for (int n = 2; usedFolders_.count(chosen.lexically_normal()); ++n) {
        chosen = folder;
        chosen += " (" + std::to_string(n) + ")";
    }
    usedFolders_.insert(chosen.lexically_normal());
    if (chosen != folder) {
        report_.notes.push_back(
            DisplayPath(source.path) + " goes to " + DisplayPath(destination / chosen) +
            " because another listed mailbox uses " + DisplayPath(destination / folder) + ".");
    }
    return chosen;
}

void ConversionRun::Fail(const fs::path& mailbox, std::int64_t message, std::string cause) {
    RunFailure failure{mailbox, message, std::move(cause)};
    // The front end hears of each failure the moment it happens; the report
    // keeps only the first ones.
    host_.ShowFailure(failure);
    report_.AddFailure(failure.mailbox, failure.message, std::move(failure.cause));
}

bool ConversionRun::SkipMailbox(const fs::path& source, const std::string& cause) {
    ++report_.mailboxesFailed;
    Fail(source, 0, cause);
    std::error_code ignored;
    if (const auto size = fs::file_size(source, ignored); !ignored) bytesBefore_ += size;
    host_.ShowProgressBytes(bytesBefore_, totalBytes_);
    if (storePerMailbox_ && !keepStore_) FinishStore();
    return true;
}

namespace {

class MessageCounter : public MessageSink {
public:
    void WriteMessage(const CutMessage&) override { ++count; }
    std::int64_t count = 0;
};

}  // namespace

bool ConversionRun::FailMailboxMessages(const fs::path& source, const std::string& cause) {
    // The mailbox is read through to count what it would have given, so the
    // report's message counts hold its messages too.
    MessageCounter counter;
    MessageSorter sorter(counter, sortRules_, [](const FolderPlace&) { return true; });
    MessageSplitter splitter(LineEnd::Lf, sorter);
    const ReadResult read = ReadMailbox(source, splitter, *this, blockSize_);
    if (read.stopped) report_.stopped = true;
    report_.messagesFailed += counter.count;
    report_.mailboxResults.back().failed += counter.count;
    return SkipMailbox(
        source, cause + (counter.count > 0 ? "; " + CountOf(counter.count, "message", "messages") +
                                                 " not converted"
                                           : std::string()));
}

bool ConversionRun::OpenMailboxStore(const fs::path& destination, const Source& source) {
    // A store still open belongs to the mailbox before, of the same top folder.
    if (!storePerMailbox_ || store_.isOpen()) return true;
    const std::string& name = source.storeFolder.front();
    const pst::Status opened =
        store_.Open(destination / PathFromUtf8(name + ".pst"), name, storeMode_);
    using Kind = pst::Status::Kind;
    switch (opened.kind()) {
        case Kind::kOk:
            return true;
        case Kind::kNotOurs:
        case Kind::kDamaged:
            // Someone else's file, or a store of ours that makes no sense,
            // is left as it was; only this mailbox fails.
            FailMailboxMessages(source.path, opened.message() + "; the file is left as it was");
            return false;
        case Kind::kMedium:
        case Kind::kTooLarge:
            // A store that cannot be made or read here (a name too long, a
            // full or failing medium) fails with its mailbox; the next
            // mailbox's store may still be made.
            FailMailboxMessages(source.path, opened.message());
            return false;
        case Kind::kMisuse:
            break;
    }
    // A fault of ours that every later store would meet too.
    sessionError_ = opened.message();
    return false;
}

void ConversionRun::FinishStore() {
    if (!store_.isOpen()) return;
    const std::string cause = store_.Close();
    if (!cause.empty()) {
        ++report_.storesFailed;
        Fail(store_.path(), 0, cause);
        if (store_.gone()) {
            // Its messages are under no name the run can report.
            unconfirmed_.clear();
            for (auto& folder : store_.folders()) {
                if (countsInStore_) {
                    report_.messagesWritten -= folder.messages;
                    report_.messagesFailed += folder.messages;
                }
                folder.messages = 0;
            }
            for (const auto& [result, saved] : savedInStore_) {
                if (!countsInStore_) break;
                report_.mailboxResults[result].saved -= saved;
                report_.mailboxResults[result].failed += saved;
            }
        } else {
            // Its last checkpoint failed: what it was to hold is lost.
            LoseUnconfirmed(cause);
        }
    }
    unconfirmed_.clear();
    savedInStore_.clear();
    checkpointsSeen_ = 0;
    storeLost_.clear();
    // The staging store of message files holds no messages to list.
    if (!countsInStore_) return;
    report_.stores.push_back({store_.path(), {}});
    for (const auto& folder : store_.folders())
        report_.stores.back().folders.push_back({folder.name, folder.messages});
}

void ConversionRun::LoseUnconfirmed(const std::string& cause) {
    // One line per mailbox, with the numbers of its first and last message lost.
    for (std::size_t first = 0; first < unconfirmed_.size();) {
        std::size_t last = first;
        while (last + 1 < unconfirmed_.size() &&
               unconfirmed_[last + 1].mailbox == unconfirmed_[first].mailbox)
            ++last;
        const std::int64_t count = std::int64_t(last - first + 1);
        if (unconfirmed_[first].mailbox == source_) host_.ShowMessagesLost(count);
        for (std::size_t i = first; i <= last; ++i) {
            --store_.folders()[unconfirmed_[i].listed].messages;
            --savedInStore_[unconfirmed_[i].result];
            if (countsInStore_) {
                --report_.messagesWritten;
                ++report_.messagesFailed;
                --report_.mailboxResults[unconfirmed_[i].result].saved;
                ++report_.mailboxResults[unconfirmed_[i].result].failed;
            }
        }
        Fail(unconfirmed_[first].mailbox, 0,
             CountOf(count, "message", "messages") + " (numbers " +
                 std::to_string(unconfirmed_[first].number) + " to " +
                 std::to_string(unconfirmed_[last].number) + ") saved into the store " +
                 DisplayPath(store_.path()) +
                 " after its last checkpoint are not in it: the store could not be written (" +
                 cause + ")");
        first = last + 1;
    }
    unconfirmed_.clear();
}

bool ConversionRun::ConvertMailbox(const fs::path& destination, const Source& planned,
                                   OutputFormat format) {
    const fs::path& source = planned.path;
    source_ = source;
    // The file's name, but for the "mbox" file of an Apple Mail folder
    // X.mbox, which would show every mailbox as "mbox": that one is X.
    const std::string file = DisplayPath(LastPathPart(source));
    host_.ShowFileCaption(file == "mbox" ? MailboxName(source) : file);

    host_.Yield();
    // A mailbox that cannot be read (gone, a folder, no permission) gets no
    // output folder, store or store folder: nothing is left behind for it.
    if (std::string cause; !MailboxFile().Open(source, cause))
        return SkipMailbox(source, "cannot read the mailbox: " + cause);
    const bool toStore = format == OutputFormat::Pst || format == OutputFormat::Msg;
    if (toStore && !OpenMailboxStore(destination, planned))
        return sessionError_.empty() && !report_.stopped;
    mapi::Folder* storeFolder = nullptr;
    if (toStore) {
        std::string name, cause, asked;
        if (planned.belowRoot.empty()) {
            asked = planned.storeFolder.front();
            storeFolder = store_.AddMailboxFolder(asked, name, cause);
        } else {
            for (const auto& part : planned.storeFolder) asked += (asked.empty() ? "" : "/") + part;
            storeFolder = store_.AddMailboxFolderPath(planned.storeFolder, name, cause);
        }
        if (!storeFolder) {
            ++report_.storeFoldersFailed;
            return FailMailboxMessages(source, cause);
        }
        if (name != asked) {
            report_.notes.push_back(DisplayPath(source) + " goes to the folder \"" + name +
                                    "\" because the store has a folder \"" + asked + "\" already.");
        }
    }

    // Folders below the destination are made and opened one by one without
    // following links, so nothing planted there can redirect the output.
    // Store output makes them too; they stay empty.
    OutputFolder folder;
    if (const std::string cause =
            folder.OpenBelow(destination, OutputFolderFor(destination, planned));
        !cause.empty()) {
        return FailMailboxMessages(source, "cannot create the output folder: " + cause);
    }
    folder.SetFileMode(OutputModeFor(source));

    MessageWriter fileWriter(
        format == OutputFormat::Emlx ? MessageFormat::Emlx : MessageFormat::Eml, *this);
    StoreMessageWriter::Options storeOptions;
    storeOptions.stopRequested = [this] { return host_.StopRequested(); };
    storeOptions.keepState = keepState_;
    StoreMessageWriter storeWriter(*this, std::move(storeOptions));
    const bool toFiles = format != OutputFormat::Pst;
    // Where the messages of the mailbox go: its own folders, and the folders
    // below them that the sorting asks for, each made when first needed.
    struct Place {
        mapi::Folder* storeFolder = nullptr;
        std::size_t listed = 0;  // its line in the store's folder list
        std::unique_ptr<OutputFolder> files;
    };
    std::map<FolderPlace, Place> places;
    Place& own = places[{}];
    savedFolders_.clear();
    failedQuietly_ = 0;
    if (toStore) {
        own.storeFolder = storeFolder;
        own.listed = store_.folders().size() - 1;
        // Messages are counted in the store they go to; the staging store of
        // message files holds none.
        if (countsInStore_) savedFolders_.push_back({1, own.listed});
        storeWriter.StartMailbox(*storeFolder, store_.path(),
                                 format == OutputFormat::Msg ? &folder : nullptr,
                                 MailboxTime(source));
    } else {
        fileWriter.StartMailbox(folder);
    }
    // Made with its parents; false, with a note, when one cannot be made.
    const std::function<Place*(const FolderPlace&)> placeFor =
        [&](const FolderPlace& wanted) -> Place* {
        if (const auto found = places.find(wanted); found != places.end()) return &found->second;
        FolderPlace parentPath(wanted.begin(), wanted.end() - 1);
        Place* parent = placeFor(parentPath);
        if (!parent) return nullptr;
        Place made;
        std::string cause;
        if (toStore) {
            std::string name;
            made.storeFolder =
                store_.AddSubfolder(*parent->storeFolder, wanted.back(), name, cause);
            if (made.storeFolder) {
                made.listed = store_.folders().size();
                store_.folders().push_back({store_.folders()[parent->listed].name + "/" + name, 0});
            }
        }
        if (cause.empty() && toFiles) {
            made.files = std::make_unique<OutputFolder>();
            const OutputFolder& above = parent->files ? *parent->files : folder;
            cause =
                made.files->OpenBelow(above.path(), PathFromUtf8(FolderNameOnDisk(wanted.back())));
            made.files->SetFileMode(above.fileMode());
        }
        if (!cause.empty()) {
            std::string shown;
            for (const auto& part : wanted) shown += (shown.empty() ? "" : "/") + part;
            report_.notes.push_back(DisplayPath(source) + ": the folder \"" + shown +
                                    "\" cannot be made (" + cause +
                                    "); its messages go to the mailbox's own folder.");
            return nullptr;
        }
        return &places.emplace(wanted, std::move(made)).first->second;
    };
    MessageSorter sorter(
        toStore ? static_cast<MessageSink&>(storeWriter) : fileWriter, sortRules_,
        [&](const FolderPlace& wanted) {
            Place* place = placeFor(wanted);
            if (!place) return false;
            const OutputFolder& files = place->files ? *place->files : folder;
            if (toStore) {
                storeWriter.MoveTo(*place->storeFolder,
                                   format == OutputFormat::Msg ? &files : nullptr);
                if (countsInStore_)
                    savedFolders_.push_back({storeWriter.messageNumber(), place->listed});
            } else
                fileWriter.MoveTo(files);
            return true;
        });
    MessageSplitter splitter(
        LineEndFor(format == OutputFormat::Emlx ? MessageFormat::Emlx : MessageFormat::Eml),
        sorter);
    const ReadResult result = ReadMailbox(source, splitter, *this, blockSize_);
    bytesBefore_ += result.bytesRead;
    const auto skipped = [&](std::int64_t count, const char* one, const char* many,
                             const char* why) {
        if (count > 0)
            report_.notes.push_back(DisplayPath(source) + ": " + CountOf(count, one, many) +
                                    " skipped (" + why + ").");
    };
    skipped(sorter.deletedSkipped(), "deleted message", "deleted messages",
            "deleted in the mail program, still in the file");
    skipped(sorter.spamSkipped(), "spam message", "spam messages", "labelled Spam in Gmail");
    skipped(sorter.trashSkipped(), "message in the trash", "messages in the trash",
            "labelled Trash in Gmail");
    if (toStore) {
        storeWriter.FinishMailbox();
        if (failedQuietly_ > 0) {
            Fail(source, 0,
                 CountOf(failedQuietly_, "later message", "later messages") +
                     " not saved: the store " + DisplayPath(store_.path()) +
                     " cannot be written (" + storeLost_ + ")");
            failedQuietly_ = 0;
        }
        savedFolders_.clear();
        if (storePerMailbox_ && !keepStore_) FinishStore();
    }

    if (!result.opened) {
        ++report_.mailboxesFailed;
        Fail(source, 0, "cannot read the mailbox: " + result.error);
    } else if (result.stopped) {
        report_.stopped = true;
        return false;
    } else if (!result.complete) {
        ++report_.mailboxesFailed;
        Fail(source, 0,
             "reading failed after " + std::to_string(result.bytesRead) + " bytes (" +
                 result.error + "); the messages before were saved");
    } else if (result.shape == MailboxShape::NotAMailbox) {
        ++report_.mailboxesFailed;
        Fail(source, 0,
             "not a mailbox: no line starts with \"From \" and the file does not "
             "start with a header; nothing was written");
    } else if (result.shape == MailboxShape::Empty) {
        report_.notes.push_back(DisplayPath(source) + " holds no messages.");
    }
    host_.Yield();
    return true;
}

void ConversionRun::BytesRead(std::uint64_t done) {
    host_.ShowProgressBytes(bytesBefore_ + done, totalBytes_);
    // Served after every read, not only between messages: one large message
    // must not freeze the window.
    host_.Yield();
}

bool ConversionRun::StopRequested() {
    return host_.StopRequested();
}

void ConversionRun::MessageSaved(std::int64_t number) {
    ++report_.messagesWritten;
    ++report_.mailboxResults.back().saved;
    if (!savedFolders_.empty()) {
        // Counted in its store folder, and held until a checkpoint puts it
        // in the file.
        auto from = savedFolders_.end();
        while (from != savedFolders_.begin() && std::prev(from)->first > number) --from;
        const std::size_t listed = std::prev(from)->second;
        ++store_.folders()[listed].messages;
        const std::size_t result = report_.mailboxResults.size() - 1;
        unconfirmed_.push_back({source_, number, listed, result});
        ++savedInStore_[result];
        if (store_.checkpointsWritten() != checkpointsSeen_) {
            checkpointsSeen_ = store_.checkpointsWritten();
            unconfirmed_.clear();
        }
    }
    host_.Yield();
    host_.ShowMessageSaved(number);
    host_.ShowSavedCaption(SavedCaption(number));
}

void ConversionRun::MessageFailed(std::int64_t number, const std::string& cause) {
    ++report_.messagesFailed;
    ++report_.mailboxResults.back().failed;
    if (!savedFolders_.empty()) {
        // A store that failed a write takes nothing more: its messages since
        // the last checkpoint are lost, and the later ones fail for the same
        // cause, said once for the mailbox rather than once a message.
        if (!storeLost_.empty()) {
            ++failedQuietly_;
            return;
        }
        if (storeLost_ = store_.failure(); !storeLost_.empty()) LoseUnconfirmed(storeLost_);
    }
    Fail(source_, number, cause);
    host_.Yield();
}

}  // namespace mailvane
