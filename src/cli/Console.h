#pragma once
// Where mailvane-cli writes: standard output and standard error, each line
// made safe for a terminal, and the terminal's width for the progress line.
//
// A stream that can no longer be written (a closed pipe, as `| head -1`
// leaves behind, or a full disk) is given up quietly: the printing stops,
// the conversion goes on. SIGPIPE must be ignored for this to work, which
// IgnoreBrokenPipes() does.
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace mailvane {

class Console {
public:
    enum class Stream { Out, Err };

    // Standard output and standard error.
    Console();
    // Any two files, as tests use; `err` counts as a terminal when it is one.
    Console(std::FILE* out, std::FILE* err);

    // Each line of `text` (split at line breaks) with control characters
    // made visible, then a line break.
    void Lines(Stream stream, std::string_view text);
    // Bytes as they are: for the progress line's own cursor controls, whose
    // parts the caller has made visible.
    void Raw(Stream stream, std::string_view bytes);

    // Standard error is a terminal that is still written to.
    bool ErrIsTerminal() const { return errTerminal_ && !closed_[1]; }
    // Columns of the terminal on the error stream; 80 when it cannot be told.
    std::size_t Columns() const;

private:
    bool Write(Stream stream, std::string_view bytes);

    std::FILE* files_[2];
    bool errTerminal_;
    bool closed_[2] = {false, false};
};

// SIGPIPE would end the program at the first write to a closed pipe.
void IgnoreBrokenPipes();

// Columns a UTF-8 text takes on a terminal: East Asian wide characters take
// two, combining marks none. `text` holds no control characters.
std::size_t DisplayWidth(std::string_view text);

// `text` shortened to `columns` by putting "..." in place of its middle; as
// it was when it fits.
std::string ElideMiddle(std::string_view text, std::size_t columns);

// `text` cut to its first `columns` columns.
std::string CutToWidth(std::string_view text, std::size_t columns);

}  // namespace mailvane
