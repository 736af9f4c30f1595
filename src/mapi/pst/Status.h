#pragma once
// Why a store operation failed, in a form callers can act on: the kind tells
// a failing medium from a file that is not a store of ours, a store whose
// bytes make no sense, a caller that broke a precondition and a limit of the
// format; the message names the object (node, block, page, folder) and the
// cause. The object model adds the file's path.
#include <cstdint>
#include <string>
#include <utility>

namespace mailvane::pst {

class Status {
public:
    enum class Kind : uint8_t {
        kOk,
        kMedium,    // a read, write or sync of the file failed
        kNotOurs,   // not a store this program made (or no store at all)
        kDamaged,   // a store of ours whose content does not make sense
        kMisuse,    // a precondition stated in the header was not met
        kTooLarge,  // past a limit of the format (a message refused alone)
    };

    Status() = default;
    Status(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    bool ok() const { return kind_ == Kind::kOk; }
    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }

private:
    Kind kind_ = Kind::kOk;
    std::string message_;
};

}  // namespace mailvane::pst
