#include "force/text.hpp"

namespace force::text {
namespace {

constexpr std::u32string_view path_prefix = U"路径";

std::size_t decimal_digits(std::size_t n) {
    std::size_t digits = 1;
    while (n >= 10) {
        n /= 10;
        ++digits;
    }
    return digits;
}

template <class CharT>
CharT* copy(CharT* out, const char32_t* chars, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<CharT>(chars[i]);
    return out + length;
}

template <class CharT>
CharT* copy(CharT* out, std::u32string_view text) {
    return copy(out, text.data(), text.size());
}

template <class CharT>
CharT* put_decimal(CharT* out, std::size_t n) {
    std::size_t digits = decimal_digits(n);
    for (std::size_t i = digits; i-- > 0;) {
        out[i] = static_cast<CharT>(U'0' + n % 10);
        n /= 10;
    }
    return out + digits;
}

}  // namespace

std::size_t Document::length() const {
    std::size_t total = 0;
    for (const Span& line : head_) total += line.length;
    if (!head_.empty()) total += head_.size() - 1;
    if (path_ends_.empty()) return total;
    total += 1;  // the empty separator line after the head
    for (std::size_t number = 1; number <= path_ends_.size(); ++number) {
        total += 1 + path_prefix.size() + decimal_digits(number) + 1;
    }
    for (std::uint32_t line : path_lines_) total += 1 + lines_[line].length;
    return total;
}

char32_t Document::max_char() const {
    char32_t max = arena_.max_char();
    if (!path_ends_.empty()) {
        for (char32_t c : path_prefix) max = c > max ? c : max;
    }
    return max;
}

template <class CharT>
void Document::write(CharT* out) const {
    const char32_t* chars = arena_.data();
    for (std::size_t i = 0; i < head_.size(); ++i) {
        if (i != 0) *out++ = CharT('\n');
        out = copy(out, chars + head_[i].offset, head_[i].length);
    }
    if (path_ends_.empty()) return;
    *out++ = CharT('\n');
    for (std::size_t path = 0; path < path_ends_.size(); ++path) {
        *out++ = CharT('\n');
        out = copy(out, path_prefix);
        out = put_decimal(out, path + 1);
        *out++ = CharT(':');
        const std::size_t end = path + 1 < path_ends_.size() ? path_ends_[path + 1] : path_lines_.size();
        for (std::size_t i = path_ends_[path]; i < end; ++i) {
            const Span& line = lines_[path_lines_[i]];
            *out++ = CharT('\n');
            out = copy(out, chars + line.offset, line.length);
        }
    }
}

template void Document::write<std::uint8_t>(std::uint8_t*) const;
template void Document::write<std::uint16_t>(std::uint16_t*) const;
template void Document::write<std::uint32_t>(std::uint32_t*) const;

}  // namespace force::text
