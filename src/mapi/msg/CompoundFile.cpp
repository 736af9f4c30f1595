#include "mapi/msg/CompoundFile.h"

#include <gsf/gsf-output-impl.h>
#include <gsf/gsf.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#ifdef _WIN32
#include <io.h>
#define dup _dup
#define fdopen _fdopen
#define close _close
#else
#include <unistd.h>
#endif

namespace mailvane::msg {
namespace {

GsfOutput* Out(void* p) {
    return static_cast<GsfOutput*>(p);
}

// Seconds from 1601 to 1970, and FILETIME ticks per second.
constexpr int64_t kEpochDifference = 11644473600LL;
constexpr uint64_t kTicksPerSecond = 10000000ULL;

}  // namespace

Storage::Storage(Storage&& other) noexcept : file_(other.file_), output_(other.output_) {
    other.output_ = nullptr;
}

Storage::~Storage() {
    Close();
}

Storage Storage::AddStorage(const std::string& name) {
    if (!output_ || !file_->ok()) return Storage(file_, nullptr);
    GsfOutput* child = gsf_outfile_new_child_full(GSF_OUTFILE(output_), name.c_str(), TRUE,
                                                  "modtime", file_->modified_, nullptr);
    if (!child) file_->Fail(output_, "cannot add the storage " + name);
    return Storage(file_, child);
}

void Storage::AddStream(const std::string& name, std::string_view bytes) {
    if (!output_ || !file_->ok()) return;
    GsfOutput* child = gsf_outfile_new_child(GSF_OUTFILE(output_), name.c_str(), FALSE);
    if (!child) {
        file_->Fail(output_, "cannot add the stream " + name);
        return;
    }
    if (!bytes.empty() &&
        !gsf_output_write(child, bytes.size(), reinterpret_cast<const guint8*>(bytes.data())))
        file_->Fail(child, "cannot write the stream " + name);
    if (!gsf_output_close(child)) file_->Fail(child, "cannot write the stream " + name);
    g_object_unref(child);
}

void Storage::Close() {
    if (!output_) return;
    GsfOutput* out = Out(output_);
    output_ = nullptr;
    if (!gsf_output_close(out)) file_->Fail(out, "cannot complete the message file");
    g_object_unref(out);
}

CompoundWriter::CompoundWriter(const Sink& sink, std::string_view clsid, uint64_t modified)
    : sink_(sink) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { gsf_init(); });
    const int64_t unixSeconds = static_cast<int64_t>(modified / kTicksPerSecond) - kEpochDifference;
    modified_ = g_date_time_new_from_unix_utc(unixSeconds > 0 ? unixSeconds : 0);
    if (sink.memory()) {
        output_ = gsf_output_memory_new();
    } else {
        const int copy = sink.fd() >= 0 ? dup(sink.fd()) : -1;
        FILE* file = copy >= 0 ? fdopen(copy, "wb") : nullptr;
        if (!file) {
            if (copy >= 0) close(copy);
            error_ = std::string("cannot write the message file: ") + std::strerror(errno);
            return;
        }
        output_ = gsf_output_stdio_new_FILE("message file", file, FALSE);
    }
    root_ = gsf_outfile_msole_new(Out(output_));
    gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(root_),
                                   reinterpret_cast<const guint8*>(clsid.data()));
}

CompoundWriter::~CompoundWriter() {
    if (root_) {
        // An abandoned file is completed all the same, so gsf lets go of it.
        if (!gsf_output_is_closed(Out(root_))) gsf_output_close(Out(root_));
        g_object_unref(root_);
    }
    if (output_) g_object_unref(output_);
    if (modified_) g_date_time_unref(static_cast<GDateTime*>(modified_));
}

Storage CompoundWriter::Root() {
    if (!root_) return Storage(this, nullptr);
    g_object_ref(root_);
    return Storage(this, root_);
}

std::string CompoundWriter::Finish() {
    if (!error_.empty()) return error_;
    if (!gsf_output_is_closed(Out(root_))) return "the message file was not completed";
    if (sink_.memory()) {
        GsfOutput* out = Out(output_);
        const auto* bytes = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(out));
        sink_.memory()->assign(reinterpret_cast<const char*>(bytes),
                               static_cast<size_t>(gsf_output_size(out)));
    }
    return error_;
}

void CompoundWriter::Fail(void* output, const std::string& what) {
    if (!error_.empty()) return;
    const GError* error = output ? gsf_output_error(Out(output)) : nullptr;
    error_ = what + ": " + (error && error->message ? error->message : "write failed");
}

}  // namespace mailvane::msg
