#include "convert/MessageWriter.h"

#include "convert/EmlxPropertyList.h"
#include "support/OutputFile.h"
#include "support/Paths.h"

namespace mailvane {

LineEnd LineEndFor(MessageFormat format) {
    return format == MessageFormat::Emlx ? LineEnd::Lf : LineEnd::CrLf;
}

std::string MessageFileName(MessageFormat format, std::int64_t number) {
    return "email-" + std::to_string(number) + (format == MessageFormat::Emlx ? ".emlx" : ".eml");
}

MessageWriter::MessageWriter(MessageFormat format, WriterEvents& events)
    : format_(format), events_(events) {}

void MessageWriter::StartMailbox(const OutputFolder& mailboxFolder) {
    mailboxFolder_ = &mailboxFolder;
    messageNumber_ = 1;
}

void MessageWriter::WriteMessage(const CutMessage& message) {
    // The number advances whatever happens, so a failed message leaves a gap
    // that shows its number and never shifts the names of those after it.
    const std::int64_t number = messageNumber_++;
    if (message.tooLarge) {
        events_.MessageFailed(number, "the message is too large (over the limit of " +
                                          std::to_string(message.sizeLimit) +
                                          " bytes) and was not written");
        return;
    }
    const std::string name = MessageFileName(format_, number);
    std::string error;
    if (format_ == MessageFormat::Eml) {
        error = mailboxFolder_->WriteWholeFile(name, {message.text});
    } else {
        const auto before = message.beforeSeparator();
        const auto after = message.afterSeparator();
        const std::string length = std::to_string(before.size() + after.size()) + "\n";
        const std::string plist = EmlxPropertyList(PropertiesOf(message));
        error = mailboxFolder_->WriteWholeFile(name, {length, before, after, plist});
    }
    if (!error.empty()) {
        events_.MessageFailed(
            number, "cannot write " + DisplayPath(mailboxFolder_->path() / name) + ": " + error);
        return;
    }
    events_.MessageSaved(number);
}

}  // namespace mailvane
