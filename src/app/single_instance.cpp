#include "app/single_instance.h"

#include "platform/paths.h"
#include "shell/hand_over.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>

namespace kv::app {

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {}

SingleInstance::~SingleInstance() {
    if (server_)
        server_->close();
}

QString SingleInstance::serverName() {
    const QByteArray dir = QByteArray::fromStdString(platform::configDirectory().string());
    const QByteArray hash = QCryptographicHash::hash(dir, QCryptographicHash::Sha1).toHex().left(8);
    return QStringLiteral("KVISClass-%1-%2").arg(getuid()).arg(QString::fromLatin1(hash));
}

bool SingleInstance::handToFirst(const QStringList& files, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(serverName());
    if (!socket.waitForConnected(timeoutMs))
        return false;
    std::vector<std::string> list;
    for (const QString& f : files)
        list.push_back(f.toStdString());
    socket.write(QByteArray::fromStdString(shell::formatHandOver(list)));
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    // The first instance answers once it has the list.
    if (!socket.waitForReadyRead(timeoutMs))
        return false;
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::listen() {
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(serverName())) {
        // Nobody answered on it (handToFirst failed first): a dead instance's socket.
        QLocalServer::removeServer(serverName());
        if (!server_->listen(serverName()))
            return false;
    }
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            auto buffer = std::make_shared<QByteArray>();
            connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer] {
                *buffer += socket->readAll();
                const shell::HandOver h = shell::parseHandOver(std::string_view(
                    buffer->constData(), static_cast<std::size_t>(buffer->size())));
                if (h.state == shell::HandOverState::Incomplete)
                    return;
                buffer->clear();
                if (h.state == shell::HandOverState::Invalid) {
                    socket->abort();
                    return;
                }
                QStringList files;
                for (const std::string& f : h.files)
                    files << QString::fromStdString(f);
                socket->write("OK\n");
                socket->flush();
                emit filesReceived(files);
            });
        }
    });
    return true;
}

} // namespace kv::app
