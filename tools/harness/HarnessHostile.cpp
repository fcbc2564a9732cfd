// Odd files in the exchange directory, the link run as an ordinary user: links
// of every kind, pipes, sockets, device nodes and folders under request names,
// files the link may not read, writers of another user and slow writers of
// every request kind, huge and sparse files, names no record, column or answer
// can carry, a folder in the way of an answer and the same file dropped again.
// Each is followed by a normal request of each kind. A canary folder beside
// the installation must not change; no normal request may wait more than a
// few seconds; every request is carried out once and answered as its kind asks.
#include "app/P00_util.h"
#include "tools/fp550sim/SimJournal.h"
#include "tools/harness/HarnessHostileRun.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

namespace velbrin::harness {

namespace {

constexpr int kUnprivileged = 65534;  // nobody
// The longest a normal request may wait behind an odd file, drop to answer.
constexpr long long kLongestWaitMs = 5000;
constexpr long long kMaxPeakKb = 100 * 1024;
// Refusing a file too large for its kind reads nothing of it: drop to answer,
// with the answer's own syncs, on a loaded machine.
constexpr long long kRefuseHugeMs = 1000;
constexpr int kCanaryTag = 9999;  // the receipt in the canary folder

}  // namespace

RunResult RunHostile(const Tools& tools, const std::string& root, int rounds, unsigned seed, const std::string& only) {
    RunResult result;
    result.name = "hostile files";
    const bool privileged = ::geteuid() == 0;
    ForceDirectories(root);
    // A lock folder of the installation's own: the link runs as another user.
    Tools own = tools;
    own.firebirdLock = root + "/inst/firebird-lock";
    ForceDirectories(own.firebirdLock);
    // The canary folder beside the installation: open to the link's user, so
    // that only the link's care keeps it as it is.
    const std::string canary = root + "/canary";
    ForceDirectories(canary + "/folder");
    std::mt19937 canaryRng(seed);
    WriteWholeFile(canary + "/secret.zvx", MakeReceipt(kCanaryTag, canaryRng, "zvx").bytes);
    WriteWholeFile(canary + "/victim", "the link must never write here\n");
    WriteWholeFile(canary + "/folder/inside", "nor here\n");
    for (const char* f : {"", "/folder"}) ::chmod((canary + f).c_str(), 0777);
    for (const char* f : {"/secret.zvx", "/victim", "/folder/inside"}) ::chmod((canary + f).c_str(), 0666);
    const std::map<std::string, std::string> canaryBefore = CanaryState(canary);

    Session s(own, root + "/inst", seed);
    if (privileged) s.HandOverTo(kUnprivileged);
    if (!s.StartLinkOrNote(result.faults)) return result;
    const SentReceipt warm = s.Next();
    if (!s.SendAndWait(warm, 30000)) result.faults.push_back("no receipt answered before the odd files");
    HostileRun run(s, only);
    const std::string aside = root + "/aside";
    ForceDirectories(aside);
    std::vector<std::thread> writers;

    for (int round = 0; round < rounds; ++round) {
        const auto name = [&](const std::string& prefix, const std::string& ext) {
            return prefix + "H" + std::to_string(round) + "_" + std::to_string(run.NextK()) + ext;
        };
        const auto symlinkTo = [&](const std::string& target, const std::string& linkName) {
            if (::symlink(target.c_str(), run.To(linkName).c_str()) != 0)
                throw LinkError("symlink " + linkName + ": " + std::strerror(errno));
        };
        run.Case("link to a receipt outside", [&] {
            const std::string n = name("ABC_", ".zvx");
            symlinkTo(canary + "/secret.zvx", n);
            return std::vector<Expected>{{Key(n), 1, true, n}};
        });
        run.Case("link to a folder outside", [&] {
            const std::string n = name("TXT_", ".zvx");
            symlinkTo(canary + "/folder", n);
            return std::vector<Expected>{{Key(n), 1, true, n}};
        });
        run.Case("dangling link", [&] {
            const std::string n = name("CMD_", ".zvx");
            symlinkTo(canary + "/made-by-a-command", n);
            return std::vector<Expected>{{Key(n), 1, true, n}};
        });
        run.Case("link in the way of a receipt's packet", [&] {
            SentReceipt r = MakeReceipt(run.NextK(), s.rng, "csv");
            r.name = name("ABC_", ".csv");
            r.request = ChangeFileExt(r.name, "");
            symlinkTo(canary + "/victim", r.request + ".zvx");
            s.cash.Drop(r.name, r.bytes);
            return std::vector<Expected>{{Key(r.name), 2, true, r.name + " and the link at its packet's name", true,
                                          [&s, r] { s.sent.push_back(r); }}};
        });
        run.Case("dangling link in the way of a command's packet", [&] {
            SentRequest cash;
            cash.name = name("CMD_", ".csv");
            cash.request = ChangeFileExt(cash.name, "");
            cash.cash = {100LL * (10 + run.NextK())};
            cash.bytes = "50," + Hundredths(cash.cash[0]) + "\r\n";
            symlinkTo(canary + "/made-by-a-packet.zvx", cash.request + ".zvx");
            s.cash.Drop(cash.name, cash.bytes);
            return std::vector<Expected>{{Key(cash.name), 2, true, cash.name + " and the link at its packet's name",
                                          true, [&s, cash] { s.others.push_back(cash); }}};
        });
        run.Case("pipe under a receipt's name", [&] {
            const std::string n = name("ABC_", ".zvx");
            if (::mkfifo(run.To(n).c_str(), 0666) != 0) throw LinkError("mkfifo");
            return std::vector<Expected>{{Key(n), 1, true, n}};
        });
        run.Case("pipe in the way of a text's packet", [&] {
            SentRequest text;
            text.kind = RequestKind::Text;
            text.name = name("TXT_", ".csv");
            text.request = ChangeFileExt(text.name, "");
            text.bytes = "\"in the way\"\r\n";
            if (::mkfifo(run.To(text.request + ".zvx").c_str(), 0666) != 0) throw LinkError("mkfifo");
            s.cash.Drop(text.name, text.bytes);
            return std::vector<Expected>{{Key(text.name), 2, true, text.name + " and the pipe at its packet's name",
                                          true, [&s, text] { s.others.push_back(text); }}};
        });
        run.Case("socket under a command's name", [&] {
            const std::string n = name("CMD_", ".zvx");
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            if (run.To(n).size() >= sizeof addr.sun_path) throw LinkError("socket path too long");
            std::strcpy(addr.sun_path, run.To(n).c_str());
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            ::close(fd);
            if (!bound) throw LinkError("bind");
            return std::vector<Expected>{{Key(n), 1, true, n}};
        });
        if (privileged)
            run.Case("device node under an article file's name", [&] {
                const std::string n = name("ART-N_", ".zvx");
                if (::mknod(run.To(n).c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) throw LinkError("mknod");
                return std::vector<Expected>{{Key(n), 1, true, n}};
            });
        std::string folder;
        run.Case("folder under a receipt's name", [&] {
            folder = name("ABC_", ".zvx");
            ForceDirectories(run.To(folder));
            return std::vector<Expected>{{Key(folder), 0, true, folder + " (a folder, left alone)"}};
        });
        if (!folder.empty()) ::rmdir(run.To(folder).c_str());
        if (privileged)
            run.Case("receipt the link may not read", [&] {
                const std::string n = name("ABC_", ".zvx");
                const std::string part = s.inst.ToFp() + "/.unreadable";
                WriteWholeFile(part, MakeReceipt(run.NextK(), s.rng, "zvx").bytes);
                ::chmod(part.c_str(), 0600);
                ::rename(part.c_str(), run.To(n).c_str());
                return std::vector<Expected>{{Key(n), 1, true, n}};
            });
        const auto sparse = [&](const std::string& n, long long size) {
            const std::string part = s.inst.ToFp() + "/.sparse";
            const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const bool made = fd >= 0 && ::ftruncate(fd, size) == 0;
            if (fd >= 0) ::close(fd);
            if (!made) throw LinkError("sparse file");
            ::rename(part.c_str(), run.To(n).c_str());
        };
        run.Case("sparse packet of 400 MiB", [&] {
            const std::string n = name("TXT_", ".zvx");
            sparse(n, 400LL << 20);
            return std::vector<Expected>{{Key(n), 1, true, n}};
        });
        run.Case("sparse receipt of 2 GiB", [&] {
            const std::string n = name("ABC_", ".zvx");
            const std::string part = s.inst.ToFp() + "/.sparse";
            const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const bool made = fd >= 0 && ::ftruncate(fd, 2LL << 30) == 0;
            if (fd >= 0) ::close(fd);
            if (!made) throw LinkError("sparse file");
            const long long at = NowMs();
            ::rename(part.c_str(), run.To(n).c_str());
            WaitUntil(
                [&] {
                    s.cash.Collect();
                    return s.cash.Answered(Key(n));
                },
                10000);
            const long long took = NowMs() - at;
            if (run.refuseHugeMs < took) run.refuseHugeMs = took;
            return std::vector<Expected>{{Key(n), 1, true, n}};
        });
        run.Case("article file of 2 MB of empty rows", [&] {
            const std::string n = name("ART-N_", ".zvx");
            std::string rows;
            for (int i = 0; i < 340000; ++i) rows += "<ROW/>";
            s.cash.Drop(n, "<?xml version=\"1.0\"?><DATAPACKET><ROWDATA>" + rows + "</ROWDATA></DATAPACKET>");
            return std::vector<Expected>{{Key(n), 1, true, n}};
        });
        run.Case("article file of 2 MB of attributes", [&] {
            // The most a parser is given to build from one file of the largest kind.
            const std::string n = name("ART-N_", ".zvx");
            std::string row = "<ROW";
            while (row.size() < (2u << 20) - 100) row += " a=\"\"";
            s.cash.Drop(n, "<?xml version=\"1.0\"?><DATAPACKET><ROWDATA>" + row + "/></ROWDATA></DATAPACKET>");
            return std::vector<Expected>{{Key(n), 1, true, n}};
        });
        run.Case("receipt of 1 MB of noise", [&] {
            const std::string n = name("ABC_", ".zvx");
            std::string noise(1 << 20, '\0');
            for (char& c : noise) c = static_cast<char>(s.rng() & 0xFF);
            s.cash.Drop(n, noise);
            return std::vector<Expected>{{Key(n), 1, true, n}};
        });
        run.Case("names a record cannot hold", [&] {
            std::vector<Expected> none;
            for (const std::string odd : {"\n", " x%41#", "\x01\xff\t"}) {
                SentReceipt r = s.Next("zvx");
                r.name = "ABC_H" + odd + std::to_string(r.k) + ".zvx";
                r.request = ChangeFileExt(r.name, "");
                s.sent.back() = r;
                s.cash.Drop(r.name, r.bytes);
            }
            return none;
        });
        if (privileged)
            run.Case("names a record cannot hold, To_FP read-only, across a restart", [&] {
                // Only the journal keeps the link from printing it again.
                ::chmod(s.inst.ToFp().c_str(), 0555);
                SentReceipt r = s.Next("zvx");
                r.name = "ABC_R\n" + std::to_string(r.k) + " %0A.zvx";
                r.request = ChangeFileExt(r.name, "");
                s.sent.back() = r;
                s.cash.Drop(r.name, r.bytes);
                WaitUntil(
                    [&] {
                        s.cash.Collect();
                        return s.cash.Answered(r.request);
                    },
                    30000);
                run.NotePeak();
                s.StopLink();
                s.StartLink();
                ::chmod(s.inst.ToFp().c_str(), 0755);
                return std::vector<Expected>{};
            });
        if (privileged)
            run.Case("CSV receipt in a shared To_FP the link may not remove", [&] {
                // To_FP of another user, open to everyone with the sticky bit, as a
                // shared folder is: the link makes its packet but cannot remove the
                // original. It is printed once and answered once, never again.
                struct stat before {};
                ::stat(s.inst.ToFp().c_str(), &before);
                ::chown(s.inst.ToFp().c_str(), 0, 0);
                ::chmod(s.inst.ToFp().c_str(), 01777);
                const SentReceipt r = s.Next("csv");
                s.cash.Drop(r.name, r.bytes);
                if (!WaitUntil(
                        [&] {
                            s.cash.Collect();
                            return s.cash.Answered(r.request);
                        },
                        30000))
                    run.faults.push_back(r.name + " was not answered while it could not be removed");
                WaitMs(1500);  // cycles that find the original still there
                run.NotePeak();
                ::unlink(run.To(r.name).c_str());
                ::chown(s.inst.ToFp().c_str(), before.st_uid, before.st_gid);
                ::chmod(s.inst.ToFp().c_str(), before.st_mode & 07777);
                return std::vector<Expected>{};
            });
        run.Case("receipt name longer than the database holds", [&] {
            const std::string n = "ABC_" + std::string(100, 'd') + std::to_string(run.NextK()) + ".zvx";
            s.cash.Drop(n, MakeReceipt(run.NextK(), s.rng, "zvx").bytes);
            return std::vector<Expected>{{Key(n), 1, true, "a receipt name of " + std::to_string(n.size()) + " bytes"}};
        });
        run.Case("name no answer can carry", [&] {
            std::string n = "CMD_" + std::to_string(run.NextK()) + "_";
            n += std::string(255 - n.size() - 4, 'n') + ".zvx";
            s.cash.Drop(n, "<?xml version=\"1.0\"?><DATAPACKET/>");
            // The longest name the link gives an answer.
            const std::string answer = ShortenedFileName(ChangeFileExt(n, ".err"), 200);
            return std::vector<Expected>{{Key(answer), 1, true, "a request name of 255 bytes"}};
        });
        std::string blocked;
        run.Case("folder in the way of an answer", [&] {
            SentReceipt r = s.Next("zvx");
            blocked = s.inst.FromFp() + "/" + r.request + ".ok";
            ForceDirectories(blocked);
            s.cash.Drop(r.name, r.bytes);
            return std::vector<Expected>{};
        });
        if (!blocked.empty()) ::rmdir(blocked.c_str());
        run.Case("the same file dropped again", [&] {
            SentReceipt r = s.Next("zvx");
            const std::string kept = aside + "/" + r.name;
            WriteWholeFile(kept, r.bytes);
            ::link(kept.c_str(), run.To(r.name).c_str());
            WaitUntil(
                [&] {
                    s.cash.Collect();
                    return s.cash.Answered(r.request) && !FileExists(run.To(r.name));
                },
                30000);
            ::link(kept.c_str(), run.To(r.name).c_str());
            return std::vector<Expected>{{Key(r.request), 2, false, r.name + " dropped again"}};
        });
        if (privileged) {
            // Another user writes each kind slowly: half now, the rest 3 s later.
            const auto slowly = [&](const std::string& n, const std::string& bytes) {
                writers.emplace_back([path = run.To(n), bytes] {
                    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                    if (fd < 0) return;
                    const std::size_t half = bytes.size() / 2;
                    [[maybe_unused]] ssize_t n1 = ::write(fd, bytes.data(), half);
                    std::this_thread::sleep_for(std::chrono::seconds(3));
                    [[maybe_unused]] ssize_t n2 = ::write(fd, bytes.data() + half, bytes.size() - half);
                    ::close(fd);
                });
            };
            run.Case("slow writers of every kind, another user", [&] {
                const SentReceipt r = s.Next("csv");
                slowly(r.name, r.bytes);
                SentRequest cash = MakeCashFile(s.nextK++, s.rng);
                cash.name = cash.request + ".csv";
                cash.bytes.clear();
                cash.cash.clear();
                cash.drawers.clear();
                for (int i = 0; i < 4; ++i) {
                    const long long amount = 100LL * (10 + s.nextK) + i + 1;
                    cash.bytes += "50," + Hundredths(amount) + "\r\n";
                    cash.cash.push_back(amount);
                }
                s.others.push_back(cash);
                slowly(cash.name, cash.bytes);
                SentRequest text;
                text.kind = RequestKind::Text;
                text.request = "TXT_H" + std::to_string(s.nextK++);
                text.name = text.request + ".csv";
                for (int i = 1; i <= 6; ++i) {
                    const std::string mark = "HT" + text.request.substr(4) + "." + std::to_string(i);
                    text.bytes += "\"" + mark + " tekst\"\r\n";
                    text.texts.push_back(mark);
                }
                s.others.push_back(text);
                slowly(text.name, text.bytes);
                s.others.push_back(MakeArticleFile(s.nextK++, 'N', s.articlePool, s.rng));
                slowly(s.others.back().name, s.others.back().bytes);
                return std::vector<Expected>{};
            });
            run.Case("a writer that never finishes", [&] {
                const std::string n = name("TXT_", ".zvx");
                const int fd = ::open(run.To(n).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                [[maybe_unused]] ssize_t w = ::write(fd, "<?xml version=\"1.0\"?><DATAPACKET><METADATA>", 42);
                // Kept open while the normal requests go; closed when the run ends.
                writers.emplace_back([fd] {
                    std::this_thread::sleep_for(std::chrono::seconds(15));
                    ::close(fd);
                });
                return std::vector<Expected>{{Key(n), 1, true, n + " (half a packet, closed at last)"}};
            });
        }
    }
    for (std::thread& t : writers) t.join();
    run.Finish(result);

    run.NotePeak();
    const long long peak = run.peakKb;
    // The session's books, without the odd files the run judged itself; the
    // same file dropped again counts with its first answer.
    s.ownBooks = [&](AnswerBook& book) {
        for (const auto& [key, e] : run.own) {
            if (e.err) book.erase(key);
            else if (book.count(key) && book[key].size() > 1) book[key].resize(1);
        }
        for (const std::string& key : run.sound)
            if (book.count(key)) std::erase_if(book[key], [](const std::string& a) { return a.rfind("err", 0) == 0; });
    };
    const std::map<std::string, std::string> canaryAfter = CanaryState(canary);
    int changed = 0;
    for (const auto& [path, what] : canaryBefore)
        if (!canaryAfter.count(path) || canaryAfter.at(path) != what) {
            ++changed;
            run.faults.push_back("outside the installation, " + path + " changed");
        }
    for (const auto& [path, what] : canaryAfter)
        if (!canaryBefore.count(path)) {
            ++changed;
            run.faults.push_back("outside the installation, " + path + " was made");
        }
    const auto journal = sim::SimJournal::ReadLines(s.printer.JournalPath());
    for (const PrintedReceipt& p : ParseJournal(journal))
        if (p.tagK == kCanaryTag) run.faults.push_back("the receipt outside the installation was printed");
    const Verdict v = s.Check();
    result.faults = run.faults;
    result.faults.insert(result.faults.end(), v.faults.begin(), v.faults.end());

    std::string kinds;
    int cases = 0;
    for (const auto& [kind, n] : run.tried) {
        kinds += (kinds.empty() ? "" : ", ") + kind + " " + std::to_string(n);
        cases += n;
    }
    result.figures.insert(result.figures.begin(),
                          {"cases tried: " + std::to_string(cases) + " (" + kinds + ")" +
                               (privileged ? " (link run as user nobody)" : " (not root: cases of other users skipped)"),
                           "normal requests behind them: " + std::to_string(run.normal) + ", longest wait " +
                               std::to_string(run.longestWaitMs) + " ms (behind " + run.longestWaitBehind + ")",
                           "files outside the installation changed or made: " + std::to_string(changed),
                           "receipts printed " + std::to_string(v.printed) + ", lost " + std::to_string(v.lost) +
                               ", carried out twice " + std::to_string(v.duplicated) + ", request faults " +
                               std::to_string(v.requestFaults),
                           "peak memory of the link (VmHWM, the highest of its runs): " + std::to_string(peak / 1024) + " MB",
                           "a sparse file of 2 GiB refused, drop to answer: " + std::to_string(run.refuseHugeMs) +
                               " ms"});
    if (run.longestWaitMs > kLongestWaitMs)
        result.faults.push_back("a normal request waited " + std::to_string(run.longestWaitMs) + " ms behind " +
                                run.longestWaitBehind);
    if (peak > kMaxPeakKb) result.faults.push_back("the link's memory peaked at " + std::to_string(peak / 1024) + " MB");
    if (run.refuseHugeMs > kRefuseHugeMs)
        result.faults.push_back("the sparse file of 2 GiB took " + std::to_string(run.refuseHugeMs) + " ms to refuse");
    return result;
}

}  // namespace velbrin::harness
