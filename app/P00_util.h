// Small helpers shared by every subsystem: the error type, file helpers,
// text helpers and the Windows-1250 <-> UTF-8 border conversion.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velbrin {

// Every failure travels as an exception that carries only its message text.
// Layers add context by catching and raising a new LinkError with a longer text.
class LinkError : public std::runtime_error {
public:
    explicit LinkError(const std::string& text) : std::runtime_error(text) {}
    std::string Text() const { return what(); }
};

// --- file helpers ---------------------------------------------------------
// Copies source over target (an existing target is replaced). Returns success.
bool CopyFileOverwrite(const std::string& source, const std::string& target);
// Copy then delete the source; succeeds only when both do.
bool MoveFileTo(const std::string& source, const std::string& target);
// Deletes a file; reports success.
bool DeleteFileReport(const std::string& path);
// Renames a file within its file system, replacing target in one step. Returns success.
bool RenameFile(const std::string& source, const std::string& target);
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// True when the file's permission bits let every user of the machine read it.
bool ReadableByEveryone(const std::string& path);
// Creates a directory with all missing parents; true when it exists afterwards.
bool ForceDirectories(const std::string& path);
// Directory part of a path, up to (not including) the last '/'; empty when none.
std::string ExtractFileDir(const std::string& path);
// Name part of a path, after the last '/'.
std::string ExtractFileName(const std::string& path);
// Extension including the dot ("" when the name has none).
std::string ExtractFileExt(const std::string& path);
// Replaces the last extension of the name part ("" when none) by ext (with its dot).
std::string ChangeFileExt(const std::string& path, const std::string& ext);
// Joins a directory and a name with one '/'.
std::string JoinPath(const std::string& dir, const std::string& name);
// A file name of at most maxBytes: the name itself when it fits, else its
// beginning, "~", eight hex digits of a hash of the whole name and its extension.
std::string ShortenedFileName(const std::string& name, std::size_t maxBytes);
// Writes bytes to a file, replacing it. Raises LinkError naming the file on failure.
void WriteWholeFile(const std::string& path, std::string_view bytes);
// Reads a whole file. Raises LinkError naming the file on failure.
std::string ReadWholeFile(const std::string& path);

// --- text helpers -----------------------------------------------------------
// Trims both ends and shortens every run of spaces inside to one space.
std::string CollapseSpaces(std::string_view text);
// Removes every ', ` and " character.
std::string StripQuotes(std::string_view text);
// Trims characters with codes 0..32 from both ends.
std::string TrimControl(std::string_view text);
// Trims blanks and control characters (code 32 and below) from both ends.
std::string Trim(std::string_view text);
// ASCII upper/lower case; other bytes (Windows-1250 letters) stay as they are.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
bool SameText(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// Left part of at most n bytes.
std::string LeftStr(std::string_view text, std::size_t n);
// Parses a whole decimal integer (optional sign, surrounding blanks allowed). False when not one.
bool TryStrToInt(std::string_view text, long long& value);
// Like TryStrToInt but raises LinkError "'text' is not a valid integer value".
long long StrToInt(std::string_view text);
// Integer from the leading digits of a text; 0 when it has none.
long long LeadingInt(std::string_view text);

// --- flags and day numbers --------------------------------------------------
// A flag is true exactly when its first character, upper-cased, is 'D'.
bool FlagIsSet(std::string_view value);
const char* FlagText(bool value);  // "D" or "N"
// Day number "%06d".
std::string FormatDayId(long long n);

// --- Windows-1250 at the borders ----------------------------------------------
// Text inside the program is 8-bit Windows-1250; only XML packets and Qt widgets
// take UTF-8. A byte without a character in the other set raises LinkError.
std::string Cp1250ToUtf8(std::string_view text);
// The CRC-32 (IEEE) of bytes: the seal of records a power cut may leave torn.
uint32_t Crc32(std::string_view bytes);
std::string Utf8ToCp1250(std::string_view text);

// --- local sockets ----------------------------------------------------------------
// Sends one request line to the Unix socket at path and reads the answer until the
// other side closes. False when nobody listens there or no complete answer comes
// within timeoutMs.
bool AskLocalSocket(const std::string& path, const std::string& request, std::string& answer, int timeoutMs);

}  // namespace velbrin
