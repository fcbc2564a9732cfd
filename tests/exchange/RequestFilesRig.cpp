#include "RequestFilesRig.h"

#include <sstream>

#include "app/P00_util.h"
#include "formats/P00_convert.h"
#include "formats/P01_datapacket.h"

namespace velbrin::test {

std::string CommandPacket(const std::vector<std::pair<std::string, std::string>>& rows) {
    TDataPacket p;
    p.LoadFromText(TFormConvert::EmptyPacket("CMD_"));
    for (const auto& [komanda, tekst] : rows) {
        const std::size_t r = p.AppendRow();
        p.SetRawValue(r, p.FieldIndex("KOMANDA"), komanda);
        if (!tekst.empty()) p.SetRawValue(r, p.FieldIndex("TEKST"), tekst);
    }
    return p.SaveToText();
}

std::string TextPacket(const std::vector<std::string>& lines) {
    TDataPacket p;
    p.LoadFromText(TFormConvert::EmptyPacket("TXT_"));
    for (const std::string& line : lines) p.SetRawValue(p.AppendRow(), p.FieldIndex("TEKST"), line);
    return p.SaveToText();
}

size_t SilentAfterPort::Write(const uint8_t* bytes, size_t k) {
    if (--frames_ < 0) return k;  // swallowed by the dead line
    return inner_.Write(bytes, k);
}

void RequestFilesTest::StartTraced(const LinkRigOptions& options) {
    Start(options);
    tracePath = rig->dir.File("frames.trace");
    rig->sim->Control("trace " + tracePath);
}

void RequestFilesTest::SilenceAfter(int frames) {
    work.reset();
    rig->store.reset();
    rig->fp.reset();
    rig->fpDef.reset();
    rig->fpDef = std::make_unique<TFormFPDef>(
        std::make_unique<SilentAfterPort>(rig->sim->DevicePath(), frames));
    rig->fp = std::make_unique<TFormFP>(*rig->fpDef, rig->app);
    rig->fp->SetLogPath(JoinPath(rig->ini->LogsDir(), "FP550_log.txt"));
    rig->fp->SetTaxGroupFlags("111111111");
    rig->RebuildNeighbours();
    work = std::make_unique<TFormLnkWork>(*rig->store, convert, *rig->commonLink);
    work->CreateReceipt();
}

std::vector<std::string> RequestFilesTest::Frames() const {
    std::vector<std::string> frames;
    if (tracePath.empty() || !FileExists(tracePath)) return frames;
    std::istringstream in(ReadWholeFile(tracePath));
    for (std::string line; std::getline(in, line);) {
        const auto rx = line.find(" RX seq=");
        const auto cmd = line.find("cmd=");
        const auto data = line.find(" data=");
        if (rx == std::string::npos || cmd == std::string::npos || data == std::string::npos)
            continue;
        frames.push_back(line.substr(cmd + 4, data - cmd - 4) + " " + line.substr(data + 6));
    }
    return frames;
}

}  // namespace velbrin::test
