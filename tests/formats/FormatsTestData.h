// Fixtures shared by the format tests: files under tests/data and the packets
// the reference files were made from.
#pragma once

#include <string>

#include "formats/P01_datapacket.h"

namespace velbrin::test {

std::string DataFile(const std::string& name);
std::string ReadDataFile(const std::string& name);
// ART_ID string(20), KOLICINA fixedFMT(10,3), BON_ID i4, with two rows.
TDataPacket ThreeFieldPacket();
// An export as the store gives it: integer, text, decimal, a text of 300, absent values.
TDataPacket ExportPacket();

}  // namespace velbrin::test
