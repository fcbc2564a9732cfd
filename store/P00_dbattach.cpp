#include "store/P00_dbattach.h"

#include "store/P00_connection.h"
#include "store/P00_fberror.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace velbrin {

using namespace Firebird;

namespace {

// What the attach thread and the waiting caller share; the thread keeps it
// alive after a caller that gave up has gone.
struct Shared {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    bool abandoned = false;
    IAttachment* attachment = nullptr;
    std::string failure;
};

// Attach threads given up on and not yet joined, with what tells that they ended.
struct Abandoned {
    std::thread thread;
    std::shared_ptr<Shared> shared;
};
// At the process's end a thread still waiting for its server is let go, not joined.
struct AbandonedList : std::vector<Abandoned> {
    ~AbandonedList()
    {
        for (Abandoned& a : *this)
            if (a.thread.joinable()) a.thread.detach();
    }
};
std::mutex g_abandonedMutex;
AbandonedList g_abandoned;

bool Ended(const std::shared_ptr<Shared>& shared)
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->done;
}

// Joins the abandoned threads that have ended.
void JoinAbandoned()
{
    std::vector<Abandoned> ended;
    {
        std::lock_guard<std::mutex> lock(g_abandonedMutex);
        for (auto it = g_abandoned.begin(); it != g_abandoned.end();) {
            if (Ended(it->shared)) {
                ended.push_back(std::move(*it));
                it = g_abandoned.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Abandoned& a : ended) a.thread.join();
}

void Attach(IMaster* master, const std::string& database, const std::vector<unsigned char>& dpb,
            const std::shared_ptr<Shared>& shared)
{
    IProvider* provider = master->getDispatcher();
    fb::Status status(master);
    IAttachment* attachment = nullptr;
    std::string failure;
    try {
        attachment = provider->attachDatabase(status.Ptr(), database.c_str(), static_cast<unsigned>(dpb.size()),
                                              dpb.data());
    } catch (const FbException& error) {
        failure = fb::ErrorText(master->getUtilInterface(), error);
    }
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (!shared->abandoned) {
            shared->attachment = attachment;
            shared->failure = failure;
            attachment = nullptr;
        }
        shared->done = true;
    }
    shared->ended.notify_all();
    if (attachment != nullptr) {
        // Nobody waits for it any more: the server answered too late.
        try {
            attachment->detach(status.Ptr());
        } catch (const FbException&) {
            attachment->release();
        }
    }
    provider->release();
}

}  // namespace

TAttachOutcome AttachWaiting(IMaster* master, const std::string& database, std::vector<unsigned char> dpb,
                             const TDbAttachWait& wait)
{
    JoinAbandoned();
    auto shared = std::make_shared<Shared>();
    std::thread thread([master, database, dpb = std::move(dpb), shared] { Attach(master, database, dpb, shared); });
    // The wait ends at the time-out the operator is told of, whether or not the
    // client library keeps its own.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait.timeoutSeconds);
    TAttachOutcome outcome;
    std::unique_lock<std::mutex> lock(shared->mutex);
    while (!shared->ended.wait_for(lock, std::chrono::milliseconds(100), [&] { return shared->done; })) {
        lock.unlock();
        const bool goOn =
            (!wait.keepWaiting || wait.keepWaiting()) && std::chrono::steady_clock::now() < deadline;
        lock.lock();
        if (!goOn && !shared->done) {
            shared->abandoned = true;
            lock.unlock();
            std::lock_guard<std::mutex> guard(g_abandonedMutex);
            g_abandoned.push_back({std::move(thread), shared});
            outcome.gaveUp = true;
            return outcome;
        }
    }
    outcome.attachment = shared->attachment;
    outcome.failure = shared->failure;
    lock.unlock();
    thread.join();
    return outcome;
}

bool AbandonedAttachUnderWay()
{
    JoinAbandoned();
    std::lock_guard<std::mutex> lock(g_abandonedMutex);
    return !g_abandoned.empty();
}

}  // namespace velbrin
