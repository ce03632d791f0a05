#include "TerminalText.h"

#include <cstdint>
#include <cstdio>

namespace {

// Length of the UTF-8 sequence at `text[at]` and its code point; length 1 and code point 0xFFFD
// for a byte that starts no valid sequence (also an overlong form, a surrogate, beyond U+10FFFF).
std::size_t Decode(std::string_view text, std::size_t at, std::uint32_t& code) {
    const auto c = static_cast<unsigned char>(text[at]);
    const std::size_t length = c < 0x80 ? 1 : c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    code = 0xFFFD;
    if (length == 0 || at + length > text.size()) return 1;
    std::uint32_t value = length == 1 ? c : length == 2 ? c & 0x1Fu : length == 3 ? c & 0x0Fu : c & 0x07u;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80) return 1;
        value = (value << 6) | (next & 0x3Fu);
    }
    const std::uint32_t least = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0;
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 1;
    code = value;
    return length;
}

// The wide ranges of East Asian scripts (Hangul Jamo, CJK, Kana, Hangul syllables, compatibility
// ideographs, full-width forms, the supplementary ideographs).
int CodeWidth(std::uint32_t code) {
    const bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0x303E) ||
                      (code >= 0x3041 && code <= 0xA4CF) || (code >= 0xAC00 && code <= 0xD7A3) ||
                      (code >= 0xF900 && code <= 0xFAFF) || (code >= 0xFE30 && code <= 0xFE4F) ||
                      (code >= 0xFF00 && code <= 0xFF60) || (code >= 0xFFE0 && code <= 0xFFE6) ||
                      (code >= 0x20000 && code <= 0x3FFFD);
    return wide ? 2 : 1;
}

}  // namespace

int DisplayWidth(std::string_view text) {
    int width = 0;
    std::uint32_t code = 0;
    for (std::size_t at = 0; at < text.size();) {
        at += Decode(text, at, code);
        width += CodeWidth(code);
    }
    return width;
}

std::string FitWidth(std::string_view text, int columns) {
    int width = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::uint32_t code = 0;
        const std::size_t length = Decode(text, at, code);
        if (width + CodeWidth(code) > columns) break;
        width += CodeWidth(code);
        at += length;
    }
    return std::string(text.substr(0, at));
}

std::string PadWidth(std::string_view text, int columns) {
    std::string out(text);
    const int width = DisplayWidth(text);
    if (width < columns) out.append(static_cast<std::size_t>(columns - width), ' ');
    return out;
}

std::string EscapeControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char escape[8];
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t code = 0;
        const std::size_t length = Decode(text, at, code);
        const bool invalid = code == 0xFFFD && length == 1;
        if (invalid || code < 0x20 || code == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[at]));
            out += escape;
        } else if (code >= 0x80 && code <= 0x9F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
            out += escape;
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out;
}
