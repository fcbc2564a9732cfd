#include "support/TestSupport.h"

#include "app/P00_util.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace velbrin::test {

std::string Error(const std::function<void()>& f) {
    try {
        f();
    } catch (const LinkError& e) {
        return e.Text();
    }
    return "(no error)";
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "velbrin-test-XXXXXX").string();
    char* p = ::mkdtemp(tmpl.data());
    if (!p) throw LinkError("mkdtemp failed");
    path_ = p;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedRegistry::ScopedRegistry(const std::string& dir, const std::string& installDir, const std::string& remoteExch) {
    if (const char* old = std::getenv("VELBRIN_REGISTRY")) {
        old_ = old;
        hadOld_ = true;
    }
    std::string path = dir + "/registry.ini";
    std::string text = "[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=" + installDir + "\n";
    if (!remoteExch.empty()) text += "Remote_Exch_Lnk=" + remoteExch + "\n";
    WriteWholeFile(path, text);
    ::setenv("VELBRIN_REGISTRY", path.c_str(), 1);
}

ScopedRegistry::~ScopedRegistry() {
    if (hadOld_)
        ::setenv("VELBRIN_REGISTRY", old_.c_str(), 1);
    else
        ::unsetenv("VELBRIN_REGISTRY");
}

std::string AsOrdinaryUser(const std::function<std::string()>& f) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        std::string text;
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            text = "setuid failed";
        else
            text = f();
        ssize_t ignored = ::write(fds[1], text.data(), text.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    ::waitpid(child, nullptr, 0);
    return text;
}

}  // namespace velbrin::test
