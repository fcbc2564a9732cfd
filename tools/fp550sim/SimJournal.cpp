#include "tools/fp550sim/SimJournal.h"

#include <fstream>
#include <stdexcept>

namespace velbrin::sim {

SimJournal::SimJournal(std::string path) : path_(std::move(path)) {}

SimJournal::~SimJournal()
{
    if (file_)
        std::fclose(file_);
}

void SimJournal::Append(const std::string& line)
{
    if (!file_) {
        file_ = std::fopen(path_.c_str(), "ab");
        if (!file_)
            throw std::runtime_error("cannot open journal " + path_);
    }
    // Line breaks inside printed text would split one event into two lines.
    std::string clean = line;
    for (char& c : clean)
        if (c == '\n' || c == '\r')
            c = ' ';
    clean.push_back('\n');
    if (std::fwrite(clean.data(), 1, clean.size(), file_) != clean.size() || std::fflush(file_) != 0)
        throw std::runtime_error("cannot write journal " + path_);
}

std::vector<std::string> SimJournal::ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

}  // namespace velbrin::sim
