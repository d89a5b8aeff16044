// The splash window: borderless, the edition's picture, centred on the desktop. It goes after
// 2000 ms or at the first key or mouse press anywhere in the program; the diagnostics chord
// (Control with D and G) does not dismiss it but is reported.
#pragma once

#include <QPixmap>
#include <QSet>
#include <QWidget>

namespace kv::app {

class Splash : public QWidget {
    Q_OBJECT
public:
    explicit Splash(const QPixmap& picture, int lifetimeMs = 2000);
    ~Splash() override;

    void start();
    bool finished() const { return finished_; }
    void finish();

    // The chord's letters.
    static constexpr int kChordKey1 = Qt::Key_D;
    static constexpr int kChordKey2 = Qt::Key_G;

signals:
    void chordSeen();
    void done();

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPixmap picture_;
    int lifetimeMs_;
    QSet<int> chordKeys_;
    bool chordReported_ = false;
    bool finished_ = false;
};

} // namespace kv::app
