#include "app/single_instance.h"

#include "platform/paths.h"

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
    QByteArray message;
    for (const QString& f : files)
        message += f.toUtf8() + '\n';
    message += '\n'; // an empty line ends the list
    socket.write(message);
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
                // Guard against a client that never ends its list.
                if (buffer->size() > (1 << 20)) {
                    socket->abort();
                    return;
                }
                if (!buffer->endsWith("\n\n") && *buffer != "\n")
                    return;
                QStringList files;
                for (const QByteArray& line : buffer->split('\n'))
                    if (!line.isEmpty())
                        files << QString::fromUtf8(line);
                buffer->clear();
                socket->write("OK\n");
                socket->flush();
                emit filesReceived(files);
            });
        }
    });
    return true;
}

} // namespace kv::app
