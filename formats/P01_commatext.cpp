#include "formats/P01_commatext.h"


#include "app/P00_safedir.h"
#include "app/P00_util.h"

namespace velbrin {

namespace {

bool IsBlank(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}

bool NeedsQuotes(std::string_view item) {
    for (char c : item) {
        unsigned char u = static_cast<unsigned char>(c);
        if ((u >= 1 && u <= 32) || c == '"' || c == ',') return true;
    }
    return false;
}

}  // namespace

TCommaTextReader::TCommaTextReader(std::string_view line) : line_(line) {
    // A NUL ends the text, as it does for whole files.
    std::size_t nul = line_.find('\0');
    if (nul != std::string_view::npos) line_ = line_.substr(0, nul);
    SkipBlanks();
}

void TCommaTextReader::SkipBlanks() {
    while (pos_ < line_.size() && IsBlank(line_[pos_])) ++pos_;
}

bool TCommaTextReader::Next(std::string& item) {
    item.clear();
    if (pos_ >= line_.size()) {
        if (!pendingEmpty_) return false;
        pendingEmpty_ = false;
        return true;
    }
    if (line_[pos_] == '"') {
        ++pos_;
        while (pos_ < line_.size()) {
            char c = line_[pos_++];
            if (c == '"') {
                if (pos_ < line_.size() && line_[pos_] == '"') {
                    item.push_back('"');
                    ++pos_;
                } else {
                    break;
                }
            } else {
                item.push_back(c);
            }
        }
    } else {
        std::size_t start = pos_;
        while (pos_ < line_.size() && line_[pos_] != ',' &&
               static_cast<unsigned char>(line_[pos_]) > 32)
            ++pos_;
        item.assign(line_.substr(start, pos_ - start));
    }
    SkipBlanks();
    if (pos_ < line_.size() && line_[pos_] == ',') {
        ++pos_;
        if (pos_ == line_.size()) pendingEmpty_ = true;
        SkipBlanks();
    }
    return true;
}

std::vector<std::string> SplitCommaText(std::string_view line) {
    std::vector<std::string> items;
    TCommaTextReader reader(line);
    std::string item;
    while (reader.Next(item)) items.push_back(item);
    return items;
}

void AppendCommaItem(std::string& line, std::string_view item) {
    if (!NeedsQuotes(item)) {
        line.append(item);
        return;
    }
    line.push_back('"');
    for (char c : item) {
        if (c == '"') line.push_back('"');
        line.push_back(c);
    }
    line.push_back('"');
}

std::string JoinCommaText(const std::vector<std::string>& items) {
    if (items.size() == 1 && items[0].empty()) return "\"\"";
    std::string line;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) line.push_back(',');
        AppendCommaItem(line, items[i]);
    }
    return line;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    std::vector<std::string_view> lines;
    std::size_t start = 0, i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(text.substr(start, i - start));
            ++i;
            if (c == '\r' && i < text.size() && text[i] == '\n') ++i;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::string ReadBoundedFile(const std::string& path, std::size_t maxBytes) {
    // Never through a link, never waiting on a pipe, never past the bound.
    std::string dir = ExtractFileDir(path);
    if (dir.empty()) dir = !path.empty() && path[0] == '/' ? "/" : ".";
    return TSafeDir(dir).ReadFile(ExtractFileName(path), maxBytes);
}

}  // namespace velbrin
