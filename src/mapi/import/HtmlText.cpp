#include "mapi/import/HtmlText.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "mapi/import/AsciiCase.h"
#include "mapi/import/Charsets.h"
#include "mapi/import/HtmlSyntax.h"

namespace mailvane::mapi::import {
namespace {

constexpr size_t npos = std::string_view::npos;

struct Entity {
    std::string_view name;
    char32_t code;
};

// HTML 4's named references and &apos;, sorted by name as bytes.
constexpr Entity kEntities[] = {
    {"AElig", 0x00C6},   {"Aacute", 0x00C1},  {"Acirc", 0x00C2},    {"Agrave", 0x00C0},
    {"Alpha", 0x0391},   {"Aring", 0x00C5},   {"Atilde", 0x00C3},   {"Auml", 0x00C4},
    {"Beta", 0x0392},    {"Ccedil", 0x00C7},  {"Chi", 0x03A7},      {"Dagger", 0x2021},
    {"Delta", 0x0394},   {"ETH", 0x00D0},     {"Eacute", 0x00C9},   {"Ecirc", 0x00CA},
    {"Egrave", 0x00C8},  {"Epsilon", 0x0395}, {"Eta", 0x0397},      {"Euml", 0x00CB},
    {"Gamma", 0x0393},   {"Iacute", 0x00CD},  {"Icirc", 0x00CE},    {"Igrave", 0x00CC},
    {"Iota", 0x0399},    {"Iuml", 0x00CF},    {"Kappa", 0x039A},    {"Lambda", 0x039B},
    {"Mu", 0x039C},      {"Ntilde", 0x00D1},  {"Nu", 0x039D},       {"OElig", 0x0152},
    {"Oacute", 0x00D3},  {"Ocirc", 0x00D4},   {"Ograve", 0x00D2},   {"Omega", 0x03A9},
    {"Omicron", 0x039F}, {"Oslash", 0x00D8},  {"Otilde", 0x00D5},   {"Ouml", 0x00D6},
    {"Phi", 0x03A6},     {"Pi", 0x03A0},      {"Prime", 0x2033},    {"Psi", 0x03A8},
    {"Rho", 0x03A1},     {"Scaron", 0x0160},  {"Sigma", 0x03A3},    {"THORN", 0x00DE},
    {"Tau", 0x03A4},     {"Theta", 0x0398},   {"Uacute", 0x00DA},   {"Ucirc", 0x00DB},
    {"Ugrave", 0x00D9},  {"Upsilon", 0x03A5}, {"Uuml", 0x00DC},     {"Xi", 0x039E},
    {"Yacute", 0x00DD},  {"Yuml", 0x0178},    {"Zeta", 0x0396},     {"aacute", 0x00E1},
    {"acirc", 0x00E2},   {"acute", 0x00B4},   {"aelig", 0x00E6},    {"agrave", 0x00E0},
    {"alefsym", 0x2135}, {"alpha", 0x03B1},   {"amp", 0x0026},      {"and", 0x2227},
    {"ang", 0x2220},     {"apos", 0x0027},    {"aring", 0x00E5},    {"asymp", 0x2248},
    {"atilde", 0x00E3},  {"auml", 0x00E4},    {"bdquo", 0x201E},    {"beta", 0x03B2},
    {"brvbar", 0x00A6},  {"bull", 0x2022},    {"cap", 0x2229},      {"ccedil", 0x00E7},
    {"cedil", 0x00B8},   {"cent", 0x00A2},    {"chi", 0x03C7},      {"circ", 0x02C6},
    {"clubs", 0x2663},   {"cong", 0x2245},    {"copy", 0x00A9},     {"crarr", 0x21B5},
    {"cup", 0x222A},     {"curren", 0x00A4},  {"dArr", 0x21D3},     {"dagger", 0x2020},
    {"darr", 0x2193},    {"deg", 0x00B0},     {"delta", 0x03B4},    {"diams", 0x2666},
    {"divide", 0x00F7},  {"eacute", 0x00E9},  {"ecirc", 0x00EA},    {"egrave", 0x00E8},
    {"empty", 0x2205},   {"emsp", 0x2003},    {"ensp", 0x2002},     {"epsilon", 0x03B5},
    {"equiv", 0x2261},   {"eta", 0x03B7},     {"eth", 0x00F0},      {"euml", 0x00EB},
    {"euro", 0x20AC},    {"exist", 0x2203},   {"fnof", 0x0192},     {"forall", 0x2200},
    {"frac12", 0x00BD},  {"frac14", 0x00BC},  {"frac34", 0x00BE},   {"frasl", 0x2044},
    {"gamma", 0x03B3},   {"ge", 0x2265},      {"gt", 0x003E},       {"hArr", 0x21D4},
    {"harr", 0x2194},    {"hearts", 0x2665},  {"hellip", 0x2026},   {"iacute", 0x00ED},
    {"icirc", 0x00EE},   {"iexcl", 0x00A1},   {"igrave", 0x00EC},   {"image", 0x2111},
    {"infin", 0x221E},   {"int", 0x222B},     {"iota", 0x03B9},     {"iquest", 0x00BF},
    {"isin", 0x2208},    {"iuml", 0x00EF},    {"kappa", 0x03BA},    {"lArr", 0x21D0},
    {"lambda", 0x03BB},  {"lang", 0x2329},    {"laquo", 0x00AB},    {"larr", 0x2190},
    {"lceil", 0x2308},   {"ldquo", 0x201C},   {"le", 0x2264},       {"lfloor", 0x230A},
    {"lowast", 0x2217},  {"loz", 0x25CA},     {"lrm", 0x200E},      {"lsaquo", 0x2039},
    {"lsquo", 0x2018},   {"lt", 0x003C},      {"macr", 0x00AF},     {"mdash", 0x2014},
    {"micro", 0x00B5},   {"middot", 0x00B7},  {"minus", 0x2212},    {"mu", 0x03BC},
    {"nabla", 0x2207},   {"nbsp", 0x00A0},    {"ndash", 0x2013},    {"ne", 0x2260},
    {"ni", 0x220B},      {"not", 0x00AC},     {"notin", 0x2209},    {"nsub", 0x2284},
    {"ntilde", 0x00F1},  {"nu", 0x03BD},      {"oacute", 0x00F3},   {"ocirc", 0x00F4},
    {"oelig", 0x0153},   {"ograve", 0x00F2},  {"oline", 0x203E},    {"omega", 0x03C9},
    {"omicron", 0x03BF}, {"oplus", 0x2295},   {"or", 0x2228},       {"ordf", 0x00AA},
    {"ordm", 0x00BA},    {"oslash", 0x00F8},  {"otilde", 0x00F5},   {"otimes", 0x2297},
    {"ouml", 0x00F6},    {"para", 0x00B6},    {"part", 0x2202},     {"permil", 0x2030},
    {"perp", 0x22A5},    {"phi", 0x03C6},     {"pi", 0x03C0},       {"piv", 0x03D6},
    {"plusmn", 0x00B1},  {"pound", 0x00A3},   {"prime", 0x2032},    {"prod", 0x220F},
    {"prop", 0x221D},    {"psi", 0x03C8},     {"quot", 0x0022},     {"rArr", 0x21D2},
    {"radic", 0x221A},   {"rang", 0x232A},    {"raquo", 0x00BB},    {"rarr", 0x2192},
    {"rceil", 0x2309},   {"rdquo", 0x201D},   {"real", 0x211C},     {"reg", 0x00AE},
    {"rfloor", 0x230B},  {"rho", 0x03C1},     {"rlm", 0x200F},      {"rsaquo", 0x203A},
    {"rsquo", 0x2019},   {"sbquo", 0x201A},   {"scaron", 0x0161},   {"sdot", 0x22C5},
    {"sect", 0x00A7},    {"shy", 0x00AD},     {"sigma", 0x03C3},    {"sigmaf", 0x03C2},
    {"sim", 0x223C},     {"spades", 0x2660},  {"sub", 0x2282},      {"sube", 0x2286},
    {"sum", 0x2211},     {"sup", 0x2283},     {"sup1", 0x00B9},     {"sup2", 0x00B2},
    {"sup3", 0x00B3},    {"supe", 0x2287},    {"szlig", 0x00DF},    {"tau", 0x03C4},
    {"there4", 0x2234},  {"theta", 0x03B8},   {"thetasym", 0x03D1}, {"thinsp", 0x2009},
    {"thorn", 0x00FE},   {"tilde", 0x02DC},   {"times", 0x00D7},    {"trade", 0x2122},
    {"uArr", 0x21D1},    {"uacute", 0x00FA},  {"uarr", 0x2191},     {"ucirc", 0x00FB},
    {"ugrave", 0x00F9},  {"uml", 0x00A8},     {"upsih", 0x03D2},    {"upsilon", 0x03C5},
    {"uuml", 0x00FC},    {"weierp", 0x2118},  {"xi", 0x03BE},       {"yacute", 0x00FD},
    {"yen", 0x00A5},     {"yuml", 0x00FF},    {"zeta", 0x03B6},     {"zwj", 0x200D},
    {"zwnj", 0x200C},
};

// What &#128; to &#159; stand for: the windows-1252 characters, as pages
// written on Windows meant them; the unassigned ones keep their value.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr char32_t kReplacement = 0xFFFD;

using html::HasWordAt;
using html::IsAlpha;
using html::IsSpace;
using html::TrimSpace;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsAlnum(char c) {
    return IsAlpha(c) || IsDigit(c);
}

// The code point of the well-formed UTF-8 sequence at text[i], and its length.
std::pair<char32_t, size_t> CodePointAt(std::string_view text, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char lead = b(0);
    if (lead < 0x80) return {lead, 1};
    if (lead < 0xE0) return {((lead & 0x1Fu) << 6) | (b(1) & 0x3Fu), 2};
    if (lead < 0xF0) return {((lead & 0x0Fu) << 12) | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu), 3};
    return {
        ((lead & 0x07u) << 18) | ((b(1) & 0x3Fu) << 12) | ((b(2) & 0x3Fu) << 6) | (b(3) & 0x3Fu),
        4};
}

// A reference without its ';' is read only for the names HTML 4 inherited
// from older pages, as browsers read them ("&copy2024" is the sign and 2024);
// "&lang=en" in a pasted address is not U+2329.
bool LegacyName(std::string_view name, char32_t code) {
    return (code >= 0xA0 && code <= 0xFF) || name == "amp" || name == "lt" || name == "gt" ||
           name == "quot";
}

char32_t NumericValue(uint32_t value) {
    if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return kReplacement;
    if (value >= 0x80 && value < 0xA0) return kCp1252High[value - 0x80];
    // Controls other than white space cannot be shown and no body holds NUL.
    if ((value < 0x20 && !IsSpace(static_cast<char>(value))) || value == 0x7F) return kReplacement;
    return value;
}

// Reads the character reference at text[at] == '&'. Returns how many bytes
// it took (0 when there is none and '&' is itself) and its code point.
std::pair<size_t, char32_t> ReadReference(std::string_view text, size_t at, bool inAttribute) {
    size_t i = at + 1;
    if (i < text.size() && text[i] == '#') {
        ++i;
        const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
        if (hex) ++i;
        const size_t digits = i;
        uint32_t value = 0;
        for (; i < text.size(); ++i) {
            const char c = text[i];
            uint32_t d;
            if (IsDigit(c))
                d = static_cast<uint32_t>(c - '0');
            else if (hex && AsciiLower(c) >= 'a' && AsciiLower(c) <= 'f')
                d = static_cast<uint32_t>(AsciiLower(c) - 'a' + 10);
            else
                break;
            // Saturates instead of wrapping, so a long run stays out of range.
            value = std::min<uint32_t>(value * (hex ? 16 : 10) + d, 0x110000);
        }
        if (i == digits) return {0, 0};
        if (i < text.size() && text[i] == ';') ++i;
        return {i - at, NumericValue(value)};
    }
    // Names run to 8 letters; the longest one that is a reference counts.
    size_t end = i;
    while (end < text.size() && end - i < 8 && IsAlnum(text[end])) ++end;
    for (; end > i; --end) {
        const std::string_view name = text.substr(i, end - i);
        const auto* found =
            std::lower_bound(std::begin(kEntities), std::end(kEntities), name,
                             [](const Entity& e, std::string_view n) { return e.name < n; });
        if (found == std::end(kEntities) || name != found->name) continue;
        if (end < text.size() && text[end] == ';') return {end + 1 - at, found->code};
        if (!LegacyName(name, found->code)) continue;
        // In a value, "?a=1&copy=2" is a query string, not a copyright sign.
        if (inAttribute && end < text.size() && (IsAlnum(text[end]) || text[end] == '='))
            return {0, 0};
        return {end - at, found->code};
    }
    return {0, 0};
}

std::string DecodeReferences(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '&') {
            const auto [length, code] = ReadReference(text, i, true);
            if (length != 0) {
                AppendUtf8(out, code);
                i += length;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

// A search that once failed from some position fails from any later one
// without a second scan, which keeps the recovery from broken markup, that
// goes back to an earlier '>', linear.
class Finder {
public:
    Finder(std::string_view text, std::string_view needle) : text_(text), needle_(needle) {}
    size_t Find(size_t from) {
        if (from >= noneFrom_) return npos;
        const size_t at = text_.find(needle_, from);
        if (at == npos) noneFrom_ = from;
        return at;
    }

private:
    std::string_view text_;
    std::string_view needle_;
    size_t noneFrom_ = npos;
};

// A tag as far as the text needs it: its name and the attributes that
// change what is shown. Others are read past, not kept.
struct Tag {
    std::string name;  // lower case
    bool end = false;
    std::string href, cls, start;
    unsigned seen = 0;  // which of them the tag had; a repeated one is ignored

    std::string* Wanted(std::string_view attribute) {
        static constexpr std::string_view kNames[] = {"href", "class", "start"};
        std::string* const values[] = {&href, &cls, &start};
        for (size_t k = 0; k < std::size(kNames); ++k)
            if (attribute.size() == kNames[k].size() && HasWordAt(attribute, 0, kNames[k]) &&
                !(seen & (1u << k))) {
                seen |= 1u << k;
                return values[k];
            }
        return nullptr;
    }
};

// The lines of text being written. Line ends and spaces are held back until
// text follows them, so that blocks which turn out empty add nothing and no
// line ends in a space.
class TextWriter {
public:
    // Visible characters, no white space among them.
    void Text(std::string_view utf8) {
        Open();
        if (lineHasText_) {
            if (space_ != 0) out_ += space_;
            out_ += joiners_;
        } else {
            for (int k = 0; k < std::min(quoteDepth_, kMaxShownDepth); ++k) out_ += "> ";
            out_ += bullet_;
            bullet_.clear();
        }
        space_ = 0;
        joiners_.clear();
        out_ += utf8;
        lineHasText_ = true;
        outTrail_ = 0;
    }
    void Space() {
        if (space_ == 0) space_ = ' ';
        joiners_.clear();
    }
    // A no-break space: a space that makes its line one worth keeping, as
    // Outlook's "<p>&nbsp;</p>" lines between paragraphs are.
    void HardSpace() {
        trail_ = 0;
        Space();
    }
    // Zero-width characters mean something between two letters only.
    void Joiner(std::string_view utf8) {
        if (lineHasText_ && space_ == 0 && pending_ == 0) joiners_ += utf8;
    }
    // A block's edge: at least `lines` line ends before what follows (1 ends
    // the line, 2 leaves a blank one).
    void Break(int lines) {
        if (trail_ < lines) {
            pending_ += lines - trail_;
            trail_ = lines;
        }
        space_ = 0;
        joiners_.clear();
    }
    // br, or a line end in pre: a line end even after an empty line.
    void LineBreak() {
        ++pending_;
        trail_ = std::min(trail_ + 1, 2);
        space_ = 0;
        joiners_.clear();
    }
    // Between two cells of a row, when the row has text on this line.
    void CellGap() {
        if (lineHasText_ && pending_ == 0) space_ = '\t';
    }
    // hr: a line of its own, once where rules follow each other with
    // nothing shown between them (images, spacers).
    void Rule() {
        if (out_.size() == ruleEnd_ && !out_.empty()) return;
        Break(1);
        Text("________________________________");
        Break(1);
        ruleEnd_ = out_.size();
    }
    void SetBullet(std::string bullet) { bullet_ = std::move(bullet); }
    void Quote(int delta) { quoteDepth_ = std::max(0, quoteDepth_ + delta); }

    size_t Size() const { return out_.size(); }
    std::string_view Since(size_t at) const { return std::string_view(out_).substr(at); }
    // Held-back line ends and spaces are dropped; blanks a pre ends with too.
    std::string Finish() {
        while (!out_.empty() && IsSpace(out_.back())) out_.pop_back();
        return std::move(out_);
    }

private:
    // Deeper quotes than this are shown as this deep, which keeps a page of
    // nothing but "<blockquote>" from making each line as long as the page.
    static constexpr int kMaxShownDepth = 16;

    // Writes the line ends held back, at most one blank line's worth, and
    // none before the first text.
    void Open() {
        if (pending_ > 0 && !out_.empty()) {
            const int n = std::min(pending_, 2 - outTrail_);
            for (int k = 0; k < n; ++k) out_ += "\r\n";
            outTrail_ += std::max(n, 0);
            if (n > 0) lineHasText_ = false;
        }
        pending_ = 0;
        trail_ = 0;
    }

    std::string out_;
    int pending_ = 0;   // line ends held back
    int trail_ = 2;     // line ends since the last thing shown, held back or not
    int outTrail_ = 0;  // line ends at the end of out_
    bool lineHasText_ = false;
    char space_ = 0;       // ' ' or '\t' held back
    std::string joiners_;  // zero-width characters held back
    std::string bullet_;   // the next line's list marker
    int quoteDepth_ = 0;
    size_t ruleEnd_ = 0;  // where the last rule ended in out_
};

// A link target worth showing beside its text, for someone who cannot click.
bool ShownTarget(std::string_view href) {
    return HasWordAt(href, 0, "http://") || HasWordAt(href, 0, "https://") ||
           HasWordAt(href, 0, "ftp://");
}

// A link's text or target as a reader compares them: without scheme, "www."
// or a closing '/', in lower case.
std::string LinkKey(std::string_view s) {
    for (std::string_view prefix : {"http://", "https://", "ftp://"})
        if (HasWordAt(s, 0, prefix)) {
            s.remove_prefix(prefix.size());
            break;
        }
    if (HasWordAt(s, 0, "www.")) s.remove_prefix(4);
    while (!s.empty() && s.back() == '/') s.remove_suffix(1);
    return AsciiLower(std::string(s));
}

enum class Kind {
    kInline,     // shown as its text alone (span, b, o:p, unknown names)
    kLine,       // a block that ends lines (div, tr, table, ...)
    kParagraph,  // a block with a blank line around it
    kHeading,
    kBreak,
    kRule,
    kItem,
    kList,
    kCell,
    kLink,
    kPre,
    kQuote,
    kHidden,  // its content is not text: script, style, title, template
};

Kind KindOf(std::string_view name) {
    static const std::pair<std::string_view, Kind> kKinds[] = {
        {"a", Kind::kLink},          {"address", Kind::kLine},     {"article", Kind::kLine},
        {"aside", Kind::kLine},      {"blockquote", Kind::kQuote}, {"br", Kind::kBreak},
        {"caption", Kind::kLine},    {"center", Kind::kLine},      {"dd", Kind::kLine},
        {"details", Kind::kLine},    {"dir", Kind::kList},         {"div", Kind::kLine},
        {"dl", Kind::kParagraph},    {"dt", Kind::kLine},          {"fieldset", Kind::kLine},
        {"figcaption", Kind::kLine}, {"figure", Kind::kLine},      {"footer", Kind::kLine},
        {"form", Kind::kLine},       {"h1", Kind::kHeading},       {"h2", Kind::kHeading},
        {"h3", Kind::kHeading},      {"h4", Kind::kHeading},       {"h5", Kind::kHeading},
        {"h6", Kind::kHeading},      {"header", Kind::kLine},      {"hr", Kind::kRule},
        {"li", Kind::kItem},         {"listing", Kind::kPre},      {"main", Kind::kLine},
        {"menu", Kind::kList},       {"nav", Kind::kLine},         {"ol", Kind::kList},
        {"p", Kind::kParagraph},     {"plaintext", Kind::kPre},    {"pre", Kind::kPre},
        {"script", Kind::kHidden},   {"section", Kind::kLine},     {"style", Kind::kHidden},
        {"summary", Kind::kLine},    {"table", Kind::kLine},       {"td", Kind::kCell},
        {"template", Kind::kHidden}, {"th", Kind::kCell},          {"title", Kind::kHidden},
        {"tr", Kind::kLine},         {"ul", Kind::kList},          {"xmp", Kind::kPre},
    };
    const auto* found = std::lower_bound(
        std::begin(kKinds), std::end(kKinds), name,
        [](const std::pair<std::string_view, Kind>& k, std::string_view n) { return k.first < n; });
    return found != std::end(kKinds) && found->first == name ? found->second : Kind::kInline;
}

class Converter {
public:
    explicit Converter(std::string_view html)
        : html_(html),
          doubleQuote_(html, "\""),
          singleQuote_(html, "'"),
          commentEnd_(html, "-->"),
          cdataEnd_(html, "]]>"),
          tagEnd_(html, ">") {}

    std::string Run() {
        size_t i = 0;
        while (i < html_.size()) {
            const char c = html_[i];
            if (c == '<') {
                i = Markup(i);
            } else if (c == '&') {
                const auto [length, code] = ReadReference(html_, i, false);
                if (length == 0) {
                    Character('&', "&");
                    ++i;
                } else {
                    std::string utf8;
                    AppendUtf8(utf8, code);
                    Character(code, utf8);
                    i += length;
                }
            } else if (static_cast<unsigned char>(c) >= 0x80) {
                const auto [code, length] = CodePointAt(html_, i);
                Character(code, html_.substr(i, length));
                i += length;
            } else if (IsSpace(c) || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                Character(static_cast<unsigned char>(c), html_.substr(i, 1));
                ++i;
            } else {
                // A run of plain ASCII goes to the writer in one piece.
                size_t end = i + 1;
                while (end < html_.size()) {
                    const unsigned char b = static_cast<unsigned char>(html_[end]);
                    if (b < 0x21 || b >= 0x7F || b == '<' || b == '&') break;
                    ++end;
                }
                skipNewline_ = false;
                lastWasCr_ = false;
                writer_.Text(html_.substr(i, end - i));
                i = end;
            }
        }
        CloseLink();
        return writer_.Finish();
    }

private:
    void Character(char32_t code, std::string_view utf8) {
        if (code == '\r' || code == '\n') {
            if (preDepth_ > 0) {
                // CR LF is one line end; so is a line end right after <pre>.
                if (code == '\n' && lastWasCr_) {
                    lastWasCr_ = false;
                    return;
                }
                lastWasCr_ = code == '\r';
                if (skipNewline_)
                    skipNewline_ = false;
                else
                    writer_.LineBreak();
                return;
            }
            writer_.Space();
            return;
        }
        lastWasCr_ = false;
        skipNewline_ = false;
        if (code == ' ' || code == '\t' || code == '\f') {
            if (preDepth_ > 0)
                writer_.Text(code == '\t' ? "\t" : " ");
            else
                writer_.Space();
        } else if (code == 0xA0) {
            if (preDepth_ > 0)
                writer_.Text(" ");
            else
                writer_.HardSpace();
        } else if (code == 0xAD) {
            // A soft hyphen shows only where a line is wrapped.
        } else if (code == 0x034F || code == 0x200B || code == 0x200C || code == 0x200D ||
                   code == 0x200E || code == 0x200F || code == 0x2060 || code == 0xFEFF) {
            writer_.Joiner(utf8);
        } else if (code < 0x20 || code == 0x7F) {
            // Controls show as nothing.
        } else {
            writer_.Text(utf8);
        }
    }

    // Reads the markup at html_[at] == '<' and returns where text resumes.
    size_t Markup(size_t at) {
        const size_t n = html_.size();
        const char next = at + 1 < n ? html_[at + 1] : '\0';
        if (next == '!') {
            if (HasWordAt(html_, at + 2, "--")) return Comment(at);
            if (HasWordAt(html_, at + 2, "[cdata[")) {
                const size_t close = cdataEnd_.Find(at + 9);
                if (close != npos) return close + 3;
            }
            return PastGreater(at + 2);
        }
        if (next == '?') return PastGreater(at + 2);
        if (next == '/') {
            if (at + 2 < n && IsAlpha(html_[at + 2])) return TagAt(at + 2, true);
            // "</>" is nothing, "</ x>" a comment; both show nothing.
            return PastGreater(at + 2);
        }
        if (IsAlpha(next)) return TagAt(at + 1, false);
        Character('<', "<");
        return at + 1;
    }

    // Where text resumes after markup that ends at the next '>'.
    size_t PastGreater(size_t from) {
        const size_t at = tagEnd_.Find(from);
        return at == npos ? html_.size() : at + 1;
    }

    size_t Comment(size_t at) {
        const size_t body = at + 4;
        // "<!-->" and "<!--->" are empty comments.
        if (HasWordAt(html_, body, ">")) return body + 1;
        if (HasWordAt(html_, body, "->")) return body + 2;
        const size_t close = commentEnd_.Find(body);
        if (close != npos) return close + 3;
        // No end anywhere: a stray "<!--" hides no more than a tag would.
        return PastGreater(body);
    }

    // Reads the tag whose name starts at html_[at] and acts on it.
    size_t TagAt(size_t at, bool end) {
        const size_t n = html_.size();
        tag_.end = end;
        tag_.name.clear();
        tag_.href.clear();
        tag_.cls.clear();
        tag_.start.clear();
        tag_.seen = 0;
        size_t i = at;
        while (i < n && !IsSpace(html_[i]) && html_[i] != '/' && html_[i] != '>')
            tag_.name += AsciiLower(html_[i++]);
        while (true) {
            while (i < n && (IsSpace(html_[i]) || html_[i] == '/')) ++i;
            if (i >= n) return n;  // a tag still open at the end shows nothing
            if (html_[i] == '>') break;
            const size_t nameStart = i++;
            while (i < n && !IsSpace(html_[i]) && html_[i] != '/' && html_[i] != '>' &&
                   html_[i] != '=')
                ++i;
            std::string* value = tag_.Wanted(html_.substr(nameStart, i - nameStart));
            size_t j = i;
            while (j < n && IsSpace(html_[j])) ++j;
            if (j >= n || html_[j] != '=') continue;
            ++j;
            while (j < n && IsSpace(html_[j])) ++j;
            size_t valueStart = j, valueEnd;
            if (j < n && (html_[j] == '"' || html_[j] == '\'')) {
                valueStart = j + 1;
                valueEnd = (html_[j] == '"' ? doubleQuote_ : singleQuote_).Find(valueStart);
                if (valueEnd != npos) {
                    i = valueEnd + 1;
                } else {
                    // An unclosed quote would hide the rest of the mail;
                    // end the tag at the next '>' instead.
                    valueEnd = tagEnd_.Find(valueStart);
                    if (valueEnd == npos) return n;
                    i = valueEnd;
                }
            } else {
                while (j < n && !IsSpace(html_[j]) && html_[j] != '>') ++j;
                valueEnd = i = j;
            }
            if (value != nullptr)
                *value = DecodeReferences(html_.substr(valueStart, valueEnd - valueStart));
        }
        const size_t after = i + 1;
        const Kind kind = KindOf(tag_.name);
        if (kind == Kind::kHidden && !end) return SkipHidden(after);
        Act(kind);
        return after;
    }

    // Skips the content of script, style and the like up to its end tag;
    // without one, the rest goes with it, as a browser would hide it.
    size_t SkipHidden(size_t from) {
        const size_t n = html_.size();
        for (size_t i = html_.find("</", from); i != npos; i = html_.find("</", i + 2)) {
            const size_t after = i + 2 + tag_.name.size();
            if (HasWordAt(html_, i + 2, tag_.name) &&
                (after >= n || IsSpace(html_[after]) || html_[after] == '/' || html_[after] == '>'))
                return PastGreater(after);
        }
        return n;
    }

    void Act(Kind kind) {
        const bool end = tag_.end;
        switch (kind) {
            case Kind::kInline:
            case Kind::kHidden:
                break;
            case Kind::kLine:
                writer_.Break(1);
                break;
            case Kind::kParagraph:
                // Outlook writes every line as a paragraph without margins.
                if (!end) outlookParagraph_ = HasWordAt(tag_.cls, 0, "mso");
                writer_.Break(outlookParagraph_ ? 1 : 2);
                break;
            case Kind::kHeading:
                writer_.Break(2);
                break;
            case Kind::kBreak:
                // "</br>" is a line break too, as browsers read it.
                writer_.LineBreak();
                break;
            case Kind::kRule:
                writer_.Rule();
                break;
            case Kind::kItem:
                writer_.Break(1);
                if (!end) writer_.SetBullet(Bullet());
                break;
            case Kind::kList:
                if (end) {
                    if (!lists_.empty()) lists_.pop_back();
                } else {
                    const std::string_view start = tag_.start;
                    int first = 1;
                    if (!start.empty() && start.size() < 9 &&
                        std::all_of(start.begin(), start.end(), IsDigit))
                        first = std::stoi(std::string(start));
                    lists_.push_back(tag_.name == "ol" ? first : kBulleted);
                }
                // Only the outermost list stands apart from the text around it.
                writer_.Break(lists_.empty() || (!end && lists_.size() == 1) ? 2 : 1);
                break;
            case Kind::kCell:
                if (!end) writer_.CellGap();
                break;
            case Kind::kLink:
                CloseLink();
                if (!end) {
                    href_ = std::string(TrimSpace(tag_.href));
                    linkStart_ = writer_.Size();
                    inLink_ = true;
                }
                break;
            case Kind::kPre:
                writer_.Break(2);
                if (end) {
                    preDepth_ = std::max(0, preDepth_ - 1);
                } else {
                    ++preDepth_;
                    skipNewline_ = true;
                }
                break;
            case Kind::kQuote:
                writer_.Break(2);
                writer_.Quote(end ? -1 : 1);
                break;
        }
    }

    std::string Bullet() {
        if (lists_.empty()) return "- ";
        std::string bullet(2 * std::min<size_t>(lists_.size() - 1, 8), ' ');
        if (lists_.back() != kBulleted)
            bullet += std::to_string(lists_.back()++) + ". ";
        else
            bullet += "- ";
        return bullet;
    }

    void CloseLink() {
        if (!inLink_) return;
        inLink_ = false;
        const std::string_view text = TrimSpace(writer_.Since(linkStart_));
        if (text.empty() || !ShownTarget(href_) || LinkKey(text) == LinkKey(href_)) return;
        writer_.Space();
        writer_.Text("<" + href_ + ">");
    }

    std::string_view html_;
    Finder doubleQuote_, singleQuote_, commentEnd_, cdataEnd_, tagEnd_;
    TextWriter writer_;
    Tag tag_;
    static constexpr int kBulleted = -1;
    std::vector<int> lists_;  // per open list, its next number, or kBulleted
    int preDepth_ = 0;
    bool skipNewline_ = false;
    bool lastWasCr_ = false;
    bool inLink_ = false;
    bool outlookParagraph_ = false;  // the open p is one of Outlook's
    std::string href_;
    size_t linkStart_ = 0;
};

}  // namespace

std::string HtmlToText(std::string_view html) {
    if (Utf8ValidLength(html) == html.size()) return Converter(html).Run();
    const std::string clean = CleanUtf8(html);
    return Converter(clean).Run();
}

}  // namespace mailvane::mapi::import
