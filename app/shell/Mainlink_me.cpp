#include "app/shell/Mainlink_me.h"

#include "app/P00_marker.h"
#include "app/shell/P00_qttext.h"
#include "startup/P00_install.h"
#include "startup/P00_startcheck.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLocalSocket>
#include <QPainter>
#include <QPixmap>
#include <QScreen>

#include <clocale>

namespace velbrin {

namespace {

// The yellow "L" while starting (and waiting for the database server); green
// while working; blue while a message waits for the operator; orange while
// answers wait; red when the printer or the database does not answer or the
// link has stopped.
QColor StateColour(TLinkState s) {
    switch (s) {
        case TLinkState::Starting:
        case TLinkState::DbConnecting: return QColor(255, 225, 0);
        case TLinkState::Working: return QColor(80, 200, 80);
        case TLinkState::WaitingForOperator: return QColor(90, 150, 255);
        case TLinkState::AnswersWaiting: return QColor(255, 150, 0);
        case TLinkState::PrinterSilent:
        case TLinkState::DbLost:
        case TLinkState::Stopped: return QColor(230, 40, 40);
    }
    return QColor(255, 225, 0);
}

QIcon TrayPicture(TLinkState s) {
    QPixmap pix(32, 32);
    pix.fill(StateColour(s));
    QPainter p(&pix);
    p.setPen(Qt::black);
    p.drawRect(0, 0, 31, 31);
    p.drawText(pix.rect(), Qt::AlignCenter, "L");
    return QIcon(pix);
}

}  // namespace

TFormMainLINK::TFormMainLINK(TAppServices& app)
    : QWidget(nullptr), app_(app), ini_(), startup_(app), cycle_(app) {
    setWindowTitle(kCaption);
    setFixedSize(150, 100);
    if (QScreen* screen = QApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(75, 50));

    // We hold "ZorvexStarted", so a channel left by a crashed run is stale.
    focus_.Listen(FocusServerPath());
    // Settings that cannot work end the start before anything is made or printed;
    // a port that cannot be opened ends it with the installation complete.
    RefuseUnworkableSettings(ini_);
    PrepareInstallation(ini_);
    // the printer's port; a port that cannot be opened ends the start
    fpDef_ = std::make_unique<TFormFPDef>(ini_);
    // (the database-connection owner joins here)
    // Qt sets the locale from the environment; numbers are always "." decimals.
    std::setlocale(LC_NUMERIC, "C");

    Timer1.setTimerType(Qt::PreciseTimer);
    Timer1.setInterval(500);
    Timer1.stop();
    QObject::connect(&Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

    Close1 = PopupMenu1.addAction("Kraj rada");
    // the window is hidden, so closing it is done here rather than through a close event
    QObject::connect(Close1, &QAction::triggered, this, [this] { Close1Click(); });
    TrayIcon1.setIcon(TrayPicture(TLinkState::Starting));
    TrayIcon1.setToolTip(kCaption);
    TrayIcon1.setContextMenu(&PopupMenu1);
    // Shown whether or not a tray is there now: the toolkit puts a visible icon
    // into a tray that appears later (a panel started after the link).
    TrayIcon1.show();
    PublishStatus();
    QObject::connect(&statusTimer_, &QTimer::timeout, this, [this] { PublishStatus(); });
    statusTimer_.start(1000);
}

TFormMainLINK::~TFormMainLINK() { Timer1.stop(); }

QString TFormMainLINK::FocusServerPath() {
    return QString::fromStdString(TNamedMarker::PathOf(kFocusName));
}

void TFormMainLINK::AskFirstInstanceToFront() {
    QLocalSocket socket;
    socket.connectToServer(FocusServerPath());
    if (!socket.waitForConnected(1000)) return;
    socket.write("front\n");
    socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
}

void TFormMainLINK::PublishStatus() {
    TStatusAnswer a = statusSource_ ? statusSource_() : TStatusAnswer{};
    a.tray = QSystemTrayIcon::isSystemTrayAvailable() && TrayIcon1.isVisible() ? "yes" : "no";
    focus_.Publish(FormatStatusAnswer(a));
}

void TFormMainLINK::ShowState(TLinkState shown, const std::string& tooltip) {
    TrayIcon1.setIcon(TrayPicture(shown));
    TrayIcon1.setToolTip(QtText(tooltip));
}

void TFormMainLINK::BringToFront() {
    // The main window stays hidden; what can come to the front is an open dialog.
    if (QWidget* w = QApplication::activeModalWidget()) {
        w->showNormal();
        w->raise();
        w->activateWindow();
    }
}

void TFormMainLINK::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shownOnce_) return;
    shownOnce_ = true;
    // after the show has finished, inside the message loop
    QTimer::singleShot(0, this, [this] { RunStartup(); });
}

void TFormMainLINK::RunStartup() {
    if (!startup_.Run()) return;
    app_.SetState(TLinkState::Working);
    cycleTrigger_.Start(ini_.ToFpDir());
}

void TFormMainLINK::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    if (hiddenOnce_) return;
    hiddenOnce_ = true;
    QTimer::singleShot(0, this, [this] { hide(); });
}

void TFormMainLINK::Timer1Timer() { cycleTrigger_.TimerFired(); }

void TFormMainLINK::Close1Click() {
    Timer1.stop();
    // (the receipt object is dropped here once it exists)
    QCoreApplication::quit();
}

void TFormMainLINK::closeEvent(QCloseEvent* event) {
    event->accept();
    Close1Click();
}

}  // namespace velbrin
