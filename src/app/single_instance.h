// One running program per user and settings directory. The first start listens on a local
// socket; a later start hands its file arguments to it and exits. A socket left behind by a
// first instance that crashed or was killed is removed, so it never blocks the next start.
#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

namespace kv::app {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // The socket's name: per user and per settings directory.
    static QString serverName();

    // Hands `files` to a running first instance; true when one took them.
    static bool handToFirst(const QStringList& files, int timeoutMs = 2000);
    // Becomes the first instance; false when the socket cannot be made.
    bool listen();

signals:
    // Files another start handed over (possibly none: it only wants us in front).
    void filesReceived(const QStringList& files);

private:
    QLocalServer* server_ = nullptr;
};

} // namespace kv::app
