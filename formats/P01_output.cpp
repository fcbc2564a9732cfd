#include "formats/P01_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace velbrin {

namespace {

class FileOutput : public TOutput {
public:
    ~FileOutput() override {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Create(const std::string& name) override {
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        return fd_ >= 0;
    }
    bool Write(std::string_view bytes) override {
        while (!bytes.empty()) {
            ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    bool Seek(std::uint64_t offset) override {
        return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0;
    }
    bool SeekEnd() override { return ::lseek(fd_, 0, SEEK_END) >= 0; }
    bool Close() override {
        int fd = fd_;
        fd_ = -1;
        if (fd < 0) return false;
        // Synced before it is named for the cash register: an export announced by
        // the day's answer must not lose its bytes to a power cut.
        const bool synced = ::fsync(fd) == 0;
        return ::close(fd) == 0 && synced;
    }

private:
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<TOutput> TOutput::ToFile() {
    return std::make_unique<FileOutput>();
}

}  // namespace velbrin
