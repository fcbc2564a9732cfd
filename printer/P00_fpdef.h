// The serial port of the fiscal printer: a small port interface that the frame
// layer talks to, its POSIX implementation, and TFormFPDef, the owner of the
// one printer port of the process.
#pragma once

#include "app/P00_msg.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace velbrin {

class TIniLink;

// What the frame layer needs from a serial port. Every operation except IsOpen
// and Close raises LinkError on a port failure; a time-out is not a failure.
class TComPort {
public:
    virtual ~TComPort() = default;
    // Opens the port with the printer settings; raises LinkError naming the port.
    virtual void Open() = 0;
    virtual bool IsOpen() const = 0;
    virtual void Close() = 0;
    // Discards everything in the input and output buffers.
    virtual void Purge() = 0;
    // Writes k bytes; gives up after 1000 + 100 x k ms and returns the count sent.
    virtual size_t Write(const uint8_t* bytes, size_t k) = 0;
    // Reads up to k bytes; returns after at most 100 + 100 x k ms, or 100 ms after
    // the last received byte, with what arrived (possibly nothing).
    virtual size_t Read(uint8_t* buffer, size_t k) = 0;
    // The port name as configured ("COM1", "/dev/ttyUSB0").
    virtual std::string Name() const = 0;
};

// Device path of a configured port name: "COMn" is /dev/ttyS(n-1), a name that
// begins with "/" is a device path as it stands, anything else has none ("").
std::string ComPortDevicePath(const std::string& name);

// The operator text of a port failure: names the port and its device, says what
// failed and why, with a hint for the usual causes (no permission, no device,
// another program holding the port). `rights`, when not empty, replaces the
// general hint of a refused permission. The hints follow the language ("ENG" or
// Serbian, as LINK.INI's Language); the system's own cause stays as it reads.
std::string ComPortFailureText(const std::string& name, const std::string& what, int err,
                               const std::string& rights = "", const std::string& language = "ENG");

// Why the user may not open the device: its owner, group and mode, and what
// would help (a udev rule, the group, logging in again); empty when the device
// cannot be examined.
std::string ComPortRightsText(const std::string& device);

// True when a configured name is opened at start: it begins with "COM" (any
// case) or with "/".
bool ComPortNameQualifies(const std::string& name);

// termios + poll on the monotonic clock: 19200 8N1, raw, XON/XOFF both ways with
// only XON resuming output, DTR on, RTS off. A hang-up of the other end (the
// device unplugged, the pseudo-terminal's master closed) raises LinkError.
class TPosixComPort : public TComPort {
public:
    // language: of the texts of a port that cannot be opened (LINK.INI's Language).
    explicit TPosixComPort(std::string name, std::string language = "ENG");
    ~TPosixComPort() override;
    TPosixComPort(const TPosixComPort&) = delete;
    TPosixComPort& operator=(const TPosixComPort&) = delete;

    void Open() override;
    bool IsOpen() const override { return fd_ >= 0; }
    void Close() override;
    void Purge() override;
    size_t Write(const uint8_t* bytes, size_t k) override;
    size_t Read(uint8_t* buffer, size_t k) override;
    std::string Name() const override { return name_; }

    static constexpr int kReadTotalMs = 100, kReadPerByteMs = 100, kReadIntervalMs = 100;
    static constexpr int kWriteTotalMs = 1000, kWritePerByteMs = 100;

private:
    [[noreturn]] void Fail(const std::string& what, int err) const;
    [[noreturn]] void FailOpen(TLinkText what, int err) const;
    std::string name_;
    std::string language_;
    int fd_ = -1;
};

// Owner of ComPortFiskal, the printer's port, for the life of the program.
class TFormFPDef {
public:
    // Reads "Portovi"/"FP"; a name that qualifies is opened at once (a failure
    // raises), any other leaves the port closed under the name "COM1".
    explicit TFormFPDef(TIniLink& ini);
    // For tests and benchmarks: an already made port, opened by its first command.
    explicit TFormFPDef(std::unique_ptr<TComPort> port);
    ~TFormFPDef();

    TComPort& ComPortFiskal() { return *port_; }

private:
    std::unique_ptr<TComPort> port_;
};

}  // namespace velbrin
