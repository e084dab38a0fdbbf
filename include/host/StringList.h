// The framework's ordered list of text lines.
#pragma once

#include "host/Export.h"

#include "host/Text.h"

#include <cstddef>
#include <vector>

namespace host {

class KELVRA_API TStringList {
public:
    TStringList() = default;
    TStringList(std::initializer_list<String> lines) : lines_(lines) {}

    // Every line followed by CR LF (so an empty list gives empty text and a
    // list of one empty line gives CR LF).
    String Text() const;
    // Replaces the lines: splits at CR LF, lone CR and lone LF; a break at
    // the very end does not start another line.
    void SetText(std::u16string_view text);

    void Assign(const TStringList &other) { lines_ = other.lines_; }
    void Assign(std::vector<String> lines) { lines_ = std::move(lines); }
    std::size_t Add(String line);
    void Clear() { lines_.clear(); }
    std::size_t Count() const { return lines_.size(); }
    const String &operator[](std::size_t index) const { return lines_.at(index); }
    String &operator[](std::size_t index) { return lines_.at(index); }
    const std::vector<String> &Lines() const { return lines_; }

    bool operator==(const TStringList &) const = default;

private:
    std::vector<String> lines_;
};

} // namespace host
