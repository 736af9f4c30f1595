#include "convert/StoreMessageWriter.h"

#include <variant>

#include "mapi/Folder.h"
#include "mapi/MailItem.h"
#include "mapi/PropTags.h"
#include "mapi/import/MimeImport.h"
#include "support/OutputFile.h"
#include "support/Paths.h"

namespace mailvane {

void StoreMessageWriter::StartMailbox(mapi::Folder& folder, const std::filesystem::path& storePath,
                                      const OutputFolder* msgFolder) {
    folder_ = &folder;
    msgFolder_ = msgFolder;
    storePath_ = storePath;
    messageNumber_ = 1;
    saved_ = 0;
}

void StoreMessageWriter::WriteMessage(const CutMessage& message) {
    // As with files, a failed message leaves a gap in the numbers.
    const std::int64_t number = messageNumber_++;
    if (message.tooLarge) {
        events_.MessageFailed(number, "the message is too large (over the limit of " +
                                          std::to_string(message.sizeLimit) +
                                          " bytes) and was not imported");
        return;
    }
    std::unique_ptr<mapi::MailItem> item = folder_->Items().Add(0);
    // Only message 1 can have text before its separator; it becomes an
    // attachment there rather than being lost.
    std::string cause = mapi::ImportMessage(message.separatorLine(), message.afterSeparator(),
                                            message.beforeSeparator(), *item);
    if (cause.empty()) {
        // The import sets read, and has-attachments only when there is one.
        const auto flags = item->GetProperty(mapi::PidTagMessageFlags);
        const std::int32_t value = flags && std::holds_alternative<std::int32_t>(*flags)
                                       ? std::get<std::int32_t>(*flags)
                                       : mapi::MSGFLAG_READ;
        cause = mapi::HrSetOneProp(*item, mapi::PidTagMessageFlags, value, true);
    }
    if (!cause.empty()) {
        events_.MessageFailed(
            number, "cannot import it into the store " + DisplayPath(storePath_) + ": " + cause);
        return;
    }
    if (msgFolder_) {
        // A message file of that name that this run did not write is
        // someone's: it is never replaced, and the message counts failed.
        const std::string name = "Email-" + std::to_string(number) + ".msg";
        if (cause = item->SaveAs(*msgFolder_, name, CreateMode::Exclusive); !cause.empty()) {
            events_.MessageFailed(number, "cannot write " + name + ": " + cause);
            return;
        }
    }
    ++saved_;
    events_.MessageSaved(number);
}

}  // namespace mailvane
