#include "app/splash.h"

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>

namespace kv::app {

Splash::Splash(const QPixmap& picture, int lifetimeMs)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      picture_(picture), lifetimeMs_(lifetimeMs) {
    setObjectName(QStringLiteral("splash"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setFixedSize(picture_.deviceIndependentSize().toSize());
}

Splash::~Splash() {
    qApp->removeEventFilter(this);
}

void Splash::start() {
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
    qApp->installEventFilter(this);
    show();
    raise();
    QTimer::singleShot(lifetimeMs_, this, &Splash::finish);
}

void Splash::finish() {
    if (finished_)
        return;
    finished_ = true;
    qApp->removeEventFilter(this);
    hide();
    emit done();
}

void Splash::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawPixmap(0, 0, picture_);
}

bool Splash::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress: {
        const auto* key = static_cast<QKeyEvent*>(event);
        const int k = key->key();
        // The chord's keys (and Control on its own) leave the splash up.
        if (k == Qt::Key_Control)
            return false;
        if ((key->modifiers() & Qt::ControlModifier) && (k == kChordKey1 || k == kChordKey2)) {
            chordKeys_.insert(k);
            if (chordKeys_.size() == 2 && !chordReported_) {
                chordReported_ = true;
                emit chordSeen();
            }
            return true;
        }
        finish();
        break;
    }
    case QEvent::KeyRelease: {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (!key->isAutoRepeat())
            chordKeys_.remove(key->key());
        break;
    }
    case QEvent::MouseButtonPress:
    case QEvent::NonClientAreaMouseButtonPress:
        finish();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kv::app
