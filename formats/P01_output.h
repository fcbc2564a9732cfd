// Where the file writers of the exports put their bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace velbrin {

// The file implementation writes through to the system at once, so a failure is
// reported by the step that caused it; tests put a failing implementation in its place.
class TOutput {
public:
    virtual ~TOutput() = default;
    virtual bool Create(const std::string& name) = 0;  // replaces an existing file
    virtual bool Write(std::string_view bytes) = 0;    // all bytes or false
    virtual bool Seek(std::uint64_t offset) = 0;
    virtual bool SeekEnd() = 0;
    virtual bool Close() = 0;

    // A file on disk; closed by its destructor if still open.
    static std::unique_ptr<TOutput> ToFile();
};

}  // namespace velbrin
