// Requests that came through the link's HTTP interface, kept on disk in one
// log (OtherDir/Api/Book.log): each request with its idempotency key, a digest
// of its body and the packet made of it, appended and synced before it is
// acted on; and the answer the exchange cycle gave it, appended and synced
// before the journal counts it, kept for a stated time. Every record is sealed
// with a CRC-32, so a record a power cut left torn is cut off, never taken.
// The cycle takes the pending requests in the order they came, beside the
// request files, under names no request file in ToFpDir may carry
// ("ABC_@API-<n>.zvx"), so that the journal and the database know them as any
// other request. The HTTP threads and the exchange cycle share one book: every
// member locks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace velbrin {

class TApiBook {
public:
    struct TEntry {
        uint64_t seq = 0;
        std::string key, digest;
        std::string kind;  // "ABC_", "TXT_", "CMD_", "ART-"
        std::string op;    // an article request's operation ("N", "R", "K", "D"), else empty
        long long receivedMs = 0;  // wall clock, ms since the epoch
        bool answered = false;
        std::string answerName, answerText;
        std::string packet;  // while it waits
        std::string Name() const;  // the request's name in the exchange cycle
    };
    // A pending request as the exchange cycle takes it.
    struct TPending {
        std::string name, id, packet;
        long long receivedMs = 0;
    };
    enum class TAccepted { New, Same, OtherBody, Full };

    // keepHours: answered requests are forgotten after this long.
    TApiBook(std::string dir, int keepHours);

    // Reads the log (a torn last record is cut off: its client had no reply
    // and asks again), forgets what is too old and writes the log anew without it.
    void Load();
    // Records a request before anything acts on it (durably: a kill or a power
    // cut after this keeps it), or finds the one of the same key. Full: more
    // than kMaxPending wait already, nothing recorded.
    TAccepted Accept(const std::string& key, const std::string& digest, const std::string& kind,
                     const std::string& op, const std::string& packet, TEntry& entry);
    static constexpr std::size_t kMaxPending = 500;
    std::optional<TEntry> Find(const std::string& key) const;
    // Waits at most timeout for the answer of key; the entry as it stands then.
    std::optional<TEntry> WaitAnswer(const std::string& key, std::chrono::milliseconds timeout);
    // Requests without an answer, oldest first.
    std::vector<TPending> Pending() const;
    std::size_t PendingCount() const;
    // The answer of an API request, put down durably; false when it names none
    // this book knows (it is then dropped: its request was forgotten). The
    // first answer of a request stays its answer.
    bool Deliver(const std::string& resultName, const std::string& bytes);
    // Identities of every request the book still knows (the journal keeps their records).
    std::set<std::string> Ids() const;

    static bool IsApiName(std::string_view name);
    static std::string IdOf(const TEntry& entry);
    // The identity of the request a name (its packet's or its answer's) stands for; "" when unknown.
    std::string IdOfName(std::string_view name) const;
    // Longest idempotency key taken; keys are printable ASCII without blanks.
    static constexpr std::size_t kMaxKeyBytes = 200;
    static bool ValidKey(std::string_view key);
    // Wall clock (ms) the book stamps requests with; tests set their own.
    void SetNow(long long (*now)()) { now_ = now; }
    std::string LogPath() const;

private:
    // Applies the records of the log's text; the length of its whole records.
    std::size_t Parse(std::string_view text);
    // Writes the log anew with only what is kept (old answered requests go).
    void Rewrite();
    static std::string Record(const std::string& header, std::string_view payload);

    std::string dir_;
    long long keepMs_;
    long long (*now_)();
    mutable std::mutex mutex_;
    std::condition_variable answered_;
    std::map<uint64_t, TEntry> entries_;
    std::map<std::string, uint64_t> byKey_;
    uint64_t lastSeq_ = 0;
    int appendedSinceRewrite_ = 0;
};

}  // namespace velbrin
