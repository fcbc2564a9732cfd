// The control socket: a Unix stream socket on which the harness sends one
// command a line and reads one answer line for each. It is served from the
// same loop as the file system, between two of its requests, so a command
// never sees an operation half done.
#pragma once

#include <poll.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velbrin::powercut {

class ControlChannel {
public:
    // Handles one command line from a client; an empty result means the answer
    // comes later through Answer().
    using Handler = std::function<std::optional<std::string>(const std::string& line, int client)>;

    ControlChannel() = default;
    ~ControlChannel();
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    // Returns "" or what went wrong.
    std::string Listen(const std::string& path);
    // Appends what to wait for; Serve() takes the same entries back.
    void AddPollFds(std::vector<pollfd>& fds) const;
    void Serve(const std::vector<pollfd>& fds, std::size_t first, const Handler& handler);
    void Answer(int client, const std::string& text);

private:
    void Drop(int client);

    std::string path_;
    int listen_ = -1;
    std::map<int, std::string> clients_;  // descriptor -> bytes short of a line
};

}  // namespace velbrin::powercut
