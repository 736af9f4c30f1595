#include "cli/Console.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <glib.h>

#include "convert/RunReport.h"

namespace mailvane {

namespace {

struct Glyph {
    std::size_t offset, length, width;
};

// Columns as terminals count them: GLib's tables follow Unicode's East
// Asian widths and marks (emoji, combining marks, joiners), which a table
// of our own kept getting wrong.
std::size_t Columns(char32_t code) {
    const auto c = static_cast<gunichar>(code);
    if (g_unichar_iszerowidth(c)) return 0;
    return g_unichar_iswide(c) ? 2 : 1;
}

// The characters of a UTF-8 text with the columns each takes. A byte that
// starts no well-formed sequence is taken alone (VisibleText leaves none).
std::vector<Glyph> Glyphs(std::string_view text) {
    std::vector<Glyph> glyphs;
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        std::size_t length = lead < 0x80             ? 1
                             : (lead & 0xE0) == 0xC0 ? 2
                             : (lead & 0xF0) == 0xE0 ? 3
                             : (lead & 0xF8) == 0xF0 ? 4
                                                     : 1;
        if (at + length > text.size()) length = 1;
        char32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t i = 1; i < length; ++i) {
            code = (code << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
        }
        glyphs.push_back({at, length, Columns(code)});
        at += length;
    }
    return glyphs;
}

#ifdef _WIN32
// The console of a stream, or nothing when it goes to a file or a pipe.
HANDLE ConsoleOf(std::FILE* file) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

// A console shows UTF-16; UTF-8 bytes would show in its code page. Files
// and pipes get the UTF-8 bytes.
bool WriteToConsole(HANDLE console, std::string_view bytes) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                        length);
    for (std::size_t done = 0; done < text.size();) {
        DWORD written = 0;
        if (!WriteConsoleW(console, text.data() + done, static_cast<DWORD>(text.size() - done),
                           &written, nullptr) ||
            written == 0)
            return false;
        done += written;
    }
    return true;
}
#endif

}  // namespace

Console::Console() : Console(stdout, stderr) {}

Console::Console(std::FILE* out, std::FILE* err)
    : files_{out, err}, errTerminal_(isatty(fileno(err)) != 0) {
#ifdef _WIN32
    // The progress line moves the cursor with the terminal's escapes, which
    // a console obeys once asked to (Windows 10 on); elsewhere, and on the
    // NUL device that isatty also takes for a terminal, there is no such line.
    errTerminal_ = false;
    if (const HANDLE console = ConsoleOf(err)) {
        DWORD mode = 0;
        errTerminal_ = GetConsoleMode(console, &mode) &&
                       SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
#endif
}

bool Console::Write(Stream stream, std::string_view bytes) {
    const int index = stream == Stream::Out ? 0 : 1;
    bool& closed = closed_[index];
    if (closed) return false;
    std::FILE* file = files_[index];
#ifdef _WIN32
    if (const HANDLE console = ConsoleOf(file)) {
        std::fflush(file);
        if (WriteToConsole(console, bytes)) return true;
        closed = true;
        return false;
    }
#endif
    // Flushed at once: a failed write shows here, not at exit, and the two
    // streams stay in order on a shared terminal.
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
        std::fflush(file) != 0) {
        closed = true;
        std::clearerr(file);
        return false;
    }
    return true;
}

void Console::Lines(Stream stream, std::string_view text) {
    std::string out;
    for (;;) {
        const std::size_t end = text.find('\n');
        out += VisibleText(text.substr(0, end));
        out += '\n';
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    Write(stream, out);
}

void Console::Raw(Stream stream, std::string_view bytes) {
    Write(stream, bytes);
}

std::size_t Console::Columns() const {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(files_[1])));
    if (GetConsoleScreenBufferInfo(handle, &info)) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0) return std::size_t(columns);
    }
#else
    winsize size{};
    if (::ioctl(fileno(files_[1]), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
    if (const char* columns = std::getenv("COLUMNS")) {
        const long value = std::strtol(columns, nullptr, 10);
        if (value > 0 && value < 10000) return std::size_t(value);
    }
    return 80;
}

void IgnoreBrokenPipes() {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

std::size_t DisplayWidth(std::string_view text) {
    std::size_t width = 0;
    for (const Glyph& glyph : Glyphs(text)) width += glyph.width;
    return width;
}

std::string ElideMiddle(std::string_view text, std::size_t columns) {
    const std::vector<Glyph> glyphs = Glyphs(text);
    std::size_t width = 0;
    for (const Glyph& glyph : glyphs) width += glyph.width;
    if (width <= columns) return std::string(text);
    constexpr std::string_view kDots = "...";
    if (columns <= kDots.size()) return std::string(kDots.substr(0, columns));
    // The end of a name tells more than its start: it gets the odd column.
    const std::size_t room = columns - kDots.size();
    std::size_t headWidth = 0, head = 0;
    while (head < glyphs.size() && headWidth + glyphs[head].width <= room / 2) {
        headWidth += glyphs[head++].width;
    }
    std::size_t tailWidth = 0, tail = glyphs.size();
    while (tail > head && tailWidth + glyphs[tail - 1].width <= room - headWidth) {
        tailWidth += glyphs[--tail].width;
    }
    const std::size_t headEnd = head == 0 ? 0 : glyphs[head - 1].offset + glyphs[head - 1].length;
    const std::size_t tailStart = tail == glyphs.size() ? text.size() : glyphs[tail].offset;
    return std::string(text.substr(0, headEnd)) + std::string(kDots) +
           std::string(text.substr(tailStart));
}

std::string CutToWidth(std::string_view text, std::size_t columns) {
    std::size_t width = 0, end = 0;
    for (const Glyph& glyph : Glyphs(text)) {
        if (width + glyph.width > columns) break;
        width += glyph.width;
        end = glyph.offset + glyph.length;
    }
    return std::string(text.substr(0, end));
}

}  // namespace mailvane
