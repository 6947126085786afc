// The graph text: its formats, written once here for both roads, and the document of the native road, whose lines
// are gathered as spans of one code-point arena and written out once in their final form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace force::text {

// "图谱数据:", the start and end lines, then for each path an empty line before the first, a header "路径N:" and
// its edge lines "  A -> B(0.5)"; joined by "\n".
// A piece of the formats, with its widest character worked out when compiling.
struct Format {
    std::u32string_view text;
    char32_t widest;

    consteval Format(std::u32string_view literal) : text(literal), widest(0) {
        for (char32_t c : literal) widest = c > widest ? c : widest;
    }
};

inline constexpr Format header{U"图谱数据:"};
inline constexpr Format start_label{U"起点: "};
inline constexpr Format end_label{U"终点: "};
inline constexpr Format path_label{U"路径"};  // "路径N:"
inline constexpr Format path_label_end{U":"};
inline constexpr Format edge_indent{U"  "};
inline constexpr Format edge_arrow{U" -> "};
inline constexpr Format strength_open{U"("};
inline constexpr Format strength_close{U")"};
inline constexpr char32_t line_break = U'\n';

// The pieces are put into `out`, which takes the formats' texts, the values it is given (their texts, in whatever
// form the writer holds them) and decimal numbers.
template <class Out, class Value>
void put_labelled(Out& out, const Format& label, const Value& name) {
    out.put(label);
    out.put(name);
}

template <class Out>
void put_path_header(Out& out, std::size_t number) {
    out.put(path_label);
    out.put_decimal(number);
    out.put(path_label_end);
}

// Without a strength, the line ends after the target: a strength of 0 or "" is still written in parentheses.
template <class Out, class Value>
void put_edge_line(Out& out, const Value& source, const Value& target, const Value* strength) {
    out.put(edge_indent);
    out.put(source);
    out.put(edge_arrow);
    out.put(target);
    if (strength != nullptr) {
        out.put(strength_open);
        out.put(*strength);
        out.put(strength_close);
    }
}

std::size_t decimal_digits(std::size_t n);

// Takes the pieces as `put_*` gives them and counts their characters: the room a text needs, found before writing
// it. Values are given as their lengths.
struct Length {
    std::size_t chars = 0;
    void put(const Format& format) noexcept { chars += format.text.size(); }
    void put(std::size_t value_length) noexcept { chars += value_length; }
};

// Writes `n` in decimal at `out`; the position after it.
template <class CharT>
CharT* write_decimal(CharT* out, std::size_t n) {
    const std::size_t digits = decimal_digits(n);
    for (std::size_t i = digits; i-- > 0;) {
        out[i] = static_cast<CharT>(U'0' + n % 10);
        n /= 10;
    }
    return out + digits;
}

struct Span {
    std::size_t offset = 0;
    std::size_t length = 0;
};

class Arena {
public:
    // Starts a piece; extend it with `put`, finish it with `close`.
    std::size_t open() const noexcept { return chars_.size(); }
    void put(char32_t c) {
        chars_.push_back(c);
        if (c > max_char_) max_char_ = c;
    }
    void put(std::u32string_view text) {
        for (char32_t c : text) put(c);
    }
    void put(const Format& format) { put(format.text); }
    void put(Span span) {
        chars_.reserve(chars_.size() + span.length);
        for (std::size_t i = 0; i < span.length; ++i) chars_.push_back(chars_[span.offset + i]);
    }
    Span close(std::size_t start) const noexcept { return {start, chars_.size() - start}; }
    void reserve_more(std::size_t chars) { chars_.reserve(chars_.size() + chars); }
    Span add(const Format& format) {
        const std::u32string_view text = format.text;
        std::size_t start = open();
        put(text);
        return close(start);
    }

    const char32_t* data() const noexcept { return chars_.data(); }
    char32_t max_char() const noexcept { return max_char_; }

private:
    std::vector<char32_t> chars_;
    char32_t max_char_ = 0;
};

class Document {
public:
    explicit Document(Arena& arena) : arena_(arena) {}

    void add_line(Span line) { head_.push_back(line); }
    void begin_path() { path_ends_.push_back(path_lines_.size()); }
    // `line` indexes the line table.
    void add_path_line(std::uint32_t line) { path_lines_.push_back(line); }
    std::vector<Span>& line_table() noexcept { return lines_; }
    std::size_t path_count() const noexcept { return path_ends_.size(); }
    std::size_t line_count() const noexcept { return head_.size() + path_ends_.size() + path_lines_.size(); }

    std::size_t length() const;
    char32_t max_char() const;

    // Writes length() characters; every character must fit in CharT (see max_char()).
    template <class CharT>
    void write(CharT* out) const;

private:
    Arena& arena_;
    std::vector<Span> head_;
    std::vector<Span> lines_;
    std::vector<std::uint32_t> path_lines_;
    std::vector<std::size_t> path_ends_;  // where each path's lines begin in path_lines_
};

extern template void Document::write<std::uint8_t>(std::uint8_t*) const;
extern template void Document::write<std::uint16_t>(std::uint16_t*) const;
extern template void Document::write<std::uint32_t>(std::uint32_t*) const;

}  // namespace force::text
