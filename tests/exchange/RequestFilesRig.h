// Command, text and article files on a whole installation: packets of each kind,
// the frames the printer received, and a printer line that goes silent after a
// given number of frames without the seconds of real time-outs.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ExchangeRig.h"
#include "printer/P00_fpdef.h"

namespace velbrin::test {

// Rows of KOMANDA and TEKST.
std::string CommandPacket(const std::vector<std::pair<std::string, std::string>>& rows);
// Rows of TEKST.
std::string TextPacket(const std::vector<std::string>& lines);

// The simulator's port, except that after `frames` frames the line is dead:
// further frames are swallowed and reads find nothing at once.
class SilentAfterPort : public TComPort {
public:
    SilentAfterPort(const std::string& device, int frames) : inner_(device), frames_(frames) {}
    void Open() override { inner_.Open(); }
    bool IsOpen() const override { return inner_.IsOpen(); }
    void Close() override { inner_.Close(); }
    void Purge() override { inner_.Purge(); }
    size_t Write(const uint8_t* bytes, size_t k) override;
    size_t Read(uint8_t* buffer, size_t k) override {
        return frames_ < 0 ? 0 : inner_.Read(buffer, k);
    }
    std::string Name() const override { return inner_.Name(); }

private:
    TPosixComPort inner_;
    int frames_;
};

class RequestFilesTest : public ExchangeTest {
protected:
    // Starts the installation with the simulator tracing every frame it receives.
    void StartTraced(const LinkRigOptions& options = {});
    // The printer reached through a line that goes silent after `frames` frames.
    void SilenceAfter(int frames);
    // "cmd data" of every frame the printer received since the start, in order.
    std::vector<std::string> Frames() const;
    // Names in FromFpDir.
    std::vector<std::string> Answers() const { return Names(rig->ini->FromFpDir()); }

    std::string tracePath;
};

}  // namespace velbrin::test
