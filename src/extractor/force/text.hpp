// The graph text on plain C++ data: lines gathered as spans of one code-point arena, written out once in their
// final form into a buffer of the width the caller allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace force::text {

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
    void put(Span span) {
        chars_.reserve(chars_.size() + span.length);
        for (std::size_t i = 0; i < span.length; ++i) chars_.push_back(chars_[span.offset + i]);
    }
    Span close(std::size_t start) const noexcept { return {start, chars_.size() - start}; }
    Span add(std::u32string_view text) {
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

// "图谱数据:", the start and end lines, then for each path an empty line before the first, a header "路径N:" and
// its edge lines; joined by "\n".
class Document {
public:
    explicit Document(Arena& arena) : arena_(arena) {}

    void add_line(Span line) { head_.push_back(line); }
    void begin_path() { path_ends_.push_back(path_lines_.size()); }
    // `line` indexes the line table.
    void add_path_line(std::uint32_t line) { path_lines_.push_back(line); }
    std::vector<Span>& line_table() noexcept { return lines_; }
    std::size_t path_count() const noexcept { return path_ends_.size(); }

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
