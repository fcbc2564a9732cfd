// The focus channel ("ZorvexFocus"), served from a thread of its own: a
// "status" request is answered at once from the last snapshot the link
// published, also while a cycle keeps the main thread busy with the printer;
// any other request (a second start's "front") is passed to the main thread.
#pragma once

#include <QString>
#include <QThread>

#include <functional>
#include <mutex>
#include <string>

class QLocalServer;
class QObject;

namespace velbrin {

class TStatusServer {
public:
    // front runs on the thread of context when a second start asks for the front.
    TStatusServer(QObject* context, std::function<void()> front);
    ~TStatusServer();
    TStatusServer(const TStatusServer&) = delete;
    TStatusServer& operator=(const TStatusServer&) = delete;

    // Listens on path (a stale channel there is removed first); returns once it does.
    void Listen(const QString& path);
    // The answer to the next "status" requests.
    void Publish(std::string answer);
    std::string Snapshot() const;

private:
    void Answer(QObject* socket);

    QObject* context_;
    std::function<void()> front_;
    QObject* worker_;  // lives on thread_, with the server and its sockets
    QThread thread_;
    QLocalServer* server_ = nullptr;
    mutable std::mutex mutex_;
    std::string answer_;
};

}  // namespace velbrin
