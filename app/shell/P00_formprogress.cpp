#include "app/shell/P00_formprogress.h"

#include <QApplication>
#include <QScreen>
#include <QVBoxLayout>

#include "app/shell/P00_qttext.h"

namespace velbrin {

TFormProgress::TFormProgress(const TMsgTable& texts)
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus),
      texts_(texts) {
    // Shown while the cash register application has the keyboard: it must keep it.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    auto* layout = new QVBoxLayout(this);
    Label = new QLabel(this);
    Bar = new QProgressBar(this);
    Bar->setMinimumWidth(320);
    Bar->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(Label);
    layout->addWidget(Bar);
}

void TFormProgress::Report(TLinkText what, long done, long total) {
    const Clock::time_point now = Clock::now();
    if (total <= 0 || done >= total) {
        running_ = false;
        hide();
        return;
    }
    if (!running_ || what != what_) {
        running_ = true;
        what_ = what;
        started_ = now;
        painted_ = Clock::time_point{};
    }
    if (now - started_ < kShowAfter || now - painted_ < kRepaintEvery) return;
    painted_ = now;
    setWindowTitle(QtText(texts_.Text(TLinkText::ProgressTitle)));
    Label->setText(QtText(texts_.Text(what)) + QString(": %1 / %2").arg(done).arg(total));
    Bar->setRange(0, static_cast<int>(total));
    Bar->setValue(static_cast<int>(done));
    if (!isVisible()) {
        adjustSize();
        // bottom right, out of the cash register's way
        if (QScreen* screen = QApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            move(area.right() - width() - 16, area.bottom() - height() - 48);
        }
        show();
    }
    // The work runs in the cycle itself: let the window draw (and the status
    // channel answer), but take no key or click meant for another window.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace velbrin
