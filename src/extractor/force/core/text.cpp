#include "force/core/text.hpp"

#include <algorithm>

namespace force::text {
namespace {

// Counts what a document would write, and the widest character.
class Measure {
public:
    void put(std::u32string_view text) {
        length += text.size();
        for (char32_t c : text) max_char = std::max(max_char, c);
    }
    void put(const char32_t*, std::size_t count) { length += count; }
    void put_decimal(std::size_t n) { length += decimal_digits(n); }

    std::size_t length = 0;
    char32_t max_char = 0;
};

template <class CharT>
class Write {
public:
    explicit Write(CharT* out) : out_(out) {}
    void put(std::u32string_view text) { put(text.data(), text.size()); }
    void put(const char32_t* chars, std::size_t count) {
        out_ = std::transform(chars, chars + count, out_, [](char32_t c) { return static_cast<CharT>(c); });
    }
    void put_decimal(std::size_t n) { out_ = write_decimal(out_, n); }

private:
    CharT* out_;
};

}  // namespace

std::size_t decimal_digits(std::size_t n) {
    std::size_t digits = 1;
    while (n >= 10) {
        n /= 10;
        ++digits;
    }
    return digits;
}

template <class Out>
void Document::put(Out& out) const {
    const char32_t* chars = arena_.data();
    for (std::size_t i = 0; i < head_.size(); ++i) {
        if (i != 0) out.put(line_break);
        out.put(chars + head_[i].offset, head_[i].length);
    }
    if (path_ends_.empty()) return;
    out.put(line_break);  // the empty line between the head and the first path
    for (std::size_t path = 0; path < path_ends_.size(); ++path) {
        out.put(line_break);
        put_path_header(out, path + 1);
        const std::size_t end = path + 1 < path_ends_.size() ? path_ends_[path + 1] : path_lines_.size();
        for (std::size_t i = path_ends_[path]; i < end; ++i) {
            const Span& line = lines_[path_lines_[i]];
            out.put(line_break);
            out.put(chars + line.offset, line.length);
        }
    }
}

std::size_t Document::length() const {
    Measure measure;
    put(measure);
    return measure.length;
}

char32_t Document::max_char() const {
    // The arena holds every character of the lines; only the formats' own texts are still to be seen.
    Measure measure;
    if (!path_ends_.empty()) put_path_header(measure, 1);
    return std::max(arena_.max_char(), measure.max_char);
}

template <class CharT>
void Document::write(CharT* out) const {
    Write<CharT> writer(out);
    put(writer);
}

template void Document::write<std::uint8_t>(std::uint8_t*) const;
template void Document::write<std::uint16_t>(std::uint16_t*) const;
template void Document::write<std::uint32_t>(std::uint32_t*) const;

}  // namespace force::text
