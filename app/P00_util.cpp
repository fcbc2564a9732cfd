#include "app/P00_util.h"

#include "app/P00_durable.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace velbrin {

namespace fs = std::filesystem;

bool CopyFileOverwrite(const std::string& source, const std::string& target) {
    std::error_code ec;
    return fs::copy_file(source, target, fs::copy_options::overwrite_existing, ec) && !ec;
}

bool MoveFileTo(const std::string& source, const std::string& target) {
    return CopyFileOverwrite(source, target) && DeleteFileReport(source);
}

bool DeleteFileReport(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool RenameFile(const std::string& source, const std::string& target) {
    return std::rename(source.c_str(), target.c_str()) == 0;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReadableByEveryone(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0;
}

bool ForceDirectories(const std::string& path) {
    // Every folder made is synced into its parent: a power cut soon after a
    // first start must not take the installation's folders away again.
    return MakeDirectoriesDurably(path);
}

std::string ExtractFileDir(const std::string& path) {
    auto pos = path.find_last_of('/');
    return pos == std::string::npos ? std::string() : path.substr(0, pos);
}

std::string ExtractFileName(const std::string& path) {
    auto pos = path.find_last_of('/');
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string ExtractFileExt(const std::string& path) {
    std::string name = ExtractFileName(path);
    auto dot = name.find_last_of('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
    auto slash = path.find_last_of('/');
    auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ext;
    return path.substr(0, dot) + ext;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return "/" + name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string ShortenedFileName(const std::string& name, std::size_t maxBytes) {
    if (name.size() <= maxBytes) return name;
    uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ULL;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%08llx", static_cast<unsigned long long>(hash & 0xFFFFFFFFULL));
    std::string ext = ExtractFileExt(name);
    if (ext.size() + 9 >= maxBytes) ext.clear();
    return name.substr(0, maxBytes - 9 - ext.size()) + "~" + hex + ext;
}

void WriteWholeFile(const std::string& path, std::string_view bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw LinkError("Cannot create file " + path + ": " + std::strerror(errno));
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) throw LinkError("Cannot write file " + path + ": " + std::strerror(errno));
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw LinkError("Cannot open file " + path);
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) throw LinkError("Cannot read file " + path);
    return out.str();
}

std::string CollapseSpaces(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : Trim(text)) {
        if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
        out.push_back(c);
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::string StripQuotes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\'' && c != '`' && c != '"') out.push_back(c);
    return out;
}

static bool IsControlOrBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string TrimControl(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && IsControlOrBlank(text[b])) ++b;
    while (e > b && IsControlOrBlank(text[e - 1])) --e;
    return std::string(text.substr(b, e - b));
}

std::string Trim(std::string_view text) { return TrimControl(text); }

std::string UpperCase(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string LowerCase(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

std::string LeftStr(std::string_view text, std::size_t n) {
    return std::string(text.substr(0, std::min(n, text.size())));
}

bool TryStrToInt(std::string_view text, long long& value) {
    std::string t = Trim(text);
    if (t.empty()) return false;
    std::size_t i = 0;
    bool neg = false;
    if (t[0] == '+' || t[0] == '-') {
        neg = t[0] == '-';
        i = 1;
    }
    if (i >= t.size()) return false;
    unsigned long long v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return false;
        // checked before the step so that a long digit string cannot wrap around
        if (v > (9223372036854775807ULL - static_cast<unsigned>(t[i] - '0')) / 10) return false;
        v = v * 10 + static_cast<unsigned>(t[i] - '0');
    }
    value = neg ? -static_cast<long long>(v) : static_cast<long long>(v);
    return true;
}

long long StrToInt(std::string_view text) {
    long long v = 0;
    if (!TryStrToInt(text, v)) throw LinkError("'" + std::string(text) + "' is not a valid integer value");
    return v;
}

long long LeadingInt(std::string_view text) {
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        if (v > 92233720368547757LL) break;
        v = v * 10 + (c - '0');
    }
    return v;
}

bool FlagIsSet(std::string_view value) { return !value.empty() && (value[0] == 'D' || value[0] == 'd'); }

const char* FlagText(bool value) { return value ? "D" : "N"; }

std::string FormatDayId(long long n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%06lld", n);
    return buf;
}

static std::string Iconv(std::string_view text, const char* to, const char* from) {
    iconv_t cd = ::iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) throw LinkError(std::string("No conversion from ") + from + " to " + to);
    std::string out(text.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* outp = out.data();
    std::size_t outLeft = out.size();
    std::size_t rc = ::iconv(cd, &in, &inLeft, &outp, &outLeft);
    ::iconv_close(cd);
    if (rc == static_cast<std::size_t>(-1))
        throw LinkError(std::string("Text cannot be converted from ") + from + " to " + to + " at byte " +
                        std::to_string(text.size() - inLeft));
    out.resize(out.size() - outLeft);
    return out;
}

std::string Cp1250ToUtf8(std::string_view text) {
    bool ascii = true;
    for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    return ascii ? std::string(text) : Iconv(text, "UTF-8", "WINDOWS-1250");
}

std::string Utf8ToCp1250(std::string_view text) {
    bool ascii = true;
    for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    return ascii ? std::string(text) : Iconv(text, "WINDOWS-1250", "UTF-8");
}

bool AskLocalSocket(const std::string& path, const std::string& request, std::string& answer, int timeoutMs) {
    answer.clear();
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    const std::string line = request + "\n";
    if (ok) ok = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ok) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            ok = false;
            break;
        }
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;  // answered in full
        if (n < 0) {
            if (errno != EINTR) ok = false;
            continue;
        }
        answer.append(buf, static_cast<std::size_t>(n));
        if (answer.size() > 65536) ok = false;
    }
    ::close(fd);
    return ok;
}

uint32_t Crc32(std::string_view bytes) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

}  // namespace velbrin
