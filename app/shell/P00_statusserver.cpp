#include "app/shell/P00_statusserver.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace velbrin {

TStatusServer::TStatusServer(QObject* context, std::function<void()> front)
    : context_(context), front_(std::move(front)), worker_(new QObject) {
    thread_.setObjectName("status");
    worker_->moveToThread(&thread_);
    thread_.start();
}

TStatusServer::~TStatusServer() {
    // The server and its sockets are the worker's children, ended on their thread.
    QObject* worker = worker_;
    QMetaObject::invokeMethod(worker, [worker] { delete worker; }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

void TStatusServer::Listen(const QString& path) {
    // Made on the channel's own thread, so that its sockets live there too.
    QMetaObject::invokeMethod(
        worker_,
        [this, path] {
            server_ = new QLocalServer(worker_);
            QLocalServer::removeServer(path);
            server_->listen(path);
            QObject::connect(server_, &QLocalServer::newConnection, server_, [this] {
                while (QLocalSocket* s = server_->nextPendingConnection()) {
                    QObject::connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
                    QObject::connect(s, &QLocalSocket::readyRead, s, [this, s] { Answer(s); });
                }
            });
        },
        Qt::BlockingQueuedConnection);
}

void TStatusServer::Publish(std::string answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::move(answer);
}

std::string TStatusServer::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return answer_;
}

// One request line: "status" is answered with the snapshot; anything else
// ("front" from a second start) brings the link forward.
void TStatusServer::Answer(QObject* object) {
    auto* socket = static_cast<QLocalSocket*>(object);
    if (!socket->canReadLine()) return;
    const QByteArray line = socket->readLine(64).trimmed();
    if (line == "status") {
        const std::string answer = Snapshot();
        socket->write(answer.data(), static_cast<qint64>(answer.size()));
        socket->flush();
        socket->disconnectFromServer();
        return;
    }
    QMetaObject::invokeMethod(context_, [this] { front_(); }, Qt::QueuedConnection);
}

}  // namespace velbrin
