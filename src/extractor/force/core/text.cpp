#include "force/core/text.hpp"

#include <algorithm>

namespace force::text {
namespace {

template <class CharT>
CharT* copy(CharT* out, const char32_t* chars, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<CharT>(chars[i]);
    return out + length;
}

}  // namespace

std::size_t decimal_digits(std::size_t n) {
    std::size_t digits = 1;
    while (n >= 10) {
        n /= 10;
        ++digits;
    }
    return digits;
}

// The document is written by hand rather than through the shapes above: it is the one long text, and a path
// header here is its label, its number and its end, as put_path_header puts them.
std::size_t Document::length() const {
    std::size_t total = 0;
    for (const Span& line : head_) total += line.length;
    if (!head_.empty()) total += head_.size() - 1;
    if (path_ends_.empty()) return total;
    total += 1;  // the empty line between the head and the first path
    for (std::size_t number = 1; number <= path_ends_.size(); ++number) {
        total += path_label.text.size() + decimal_digits(number) + path_label_end.text.size() + 1;
    }
    for (std::uint32_t line : path_lines_) total += 1 + lines_[line].length;
    return total;
}

char32_t Document::max_char() const {
    char32_t max = arena_.max_char();
    if (!path_ends_.empty()) {
        max = std::max({max, path_label.widest, path_label_end.widest});
    }
    return max;
}

template <class CharT>
void Document::write(CharT* out) const {
    const char32_t* chars = arena_.data();
    for (std::size_t i = 0; i < head_.size(); ++i) {
        if (i != 0) *out++ = CharT(line_break);
        out = copy(out, chars + head_[i].offset, head_[i].length);
    }
    if (path_ends_.empty()) return;
    *out++ = CharT(line_break);
    for (std::size_t path = 0; path < path_ends_.size(); ++path) {
        *out++ = CharT(line_break);
        out = copy(out, path_label.text.data(), path_label.text.size());
        out = write_decimal(out, path + 1);
        out = copy(out, path_label_end.text.data(), path_label_end.text.size());
        const std::size_t end = path + 1 < path_ends_.size() ? path_ends_[path + 1] : path_lines_.size();
        for (std::size_t i = path_ends_[path]; i < end; ++i) {
            const Span& line = lines_[path_lines_[i]];
            *out++ = CharT(line_break);
            out = copy(out, chars + line.offset, line.length);
        }
    }
}

template void Document::write<std::uint8_t>(std::uint8_t*) const;
template void Document::write<std::uint16_t>(std::uint16_t*) const;
template void Document::write<std::uint32_t>(std::uint32_t*) const;

}  // namespace force::text
