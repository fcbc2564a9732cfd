#include "app/shell/P00_formyellowmsg.h"

#include "app/shell/P00_qttext.h"

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace velbrin {

TFormYellowMsg::TFormYellowMsg(TYellowMsg& logic)
    : QDialog(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint |
                           Qt::WindowTitleHint | Qt::CustomizeWindowHint),
      logic_(logic) {
    setWindowTitle("Vazna poruka");
    setModal(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::ToolTipBase));
    pal.setColor(QPalette::WindowText, pal.color(QPalette::ToolTipText));
    setPalette(pal);
    setAutoFillBackground(true);

    GroupBox1 = new QGroupBox(this);
    LabelMsg = new QLabel(GroupBox1);
    LabelMsg->setTextFormat(Qt::PlainText);
    LabelMsg->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Button1 = new QPushButton("OK", this);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    // every key closes the dialog, whichever child has the focus
    for (QWidget* w : {static_cast<QWidget*>(GroupBox1), static_cast<QWidget*>(LabelMsg),
                       static_cast<QWidget*>(Button1)})
        w->installEventFilter(this);
}

void TFormYellowMsg::ShowNumbered(int n) {
    logic_.PrepareNumbered(n);
    ShowPrepared();
}

void TFormYellowMsg::ShowText(const std::string& text) {
    logic_.PrepareText(text);
    ShowPrepared();
}

void TFormYellowMsg::ShowPrepared() {
    setWindowTitle(QtText(logic_.Title()));
    LabelMsg->setText(QtText(logic_.Text()));
    LabelMsg->adjustSize();
    QSize need = LabelMsg->sizeHint();
    layout_ = TYellowMsg::Layout(need.width(), need.height());
    LabelMsg->setGeometry(layout_.labelLeft, layout_.labelTop, layout_.labelWidth, layout_.labelHeight);
    GroupBox1->setGeometry(0, 0, layout_.clientWidth, layout_.groupHeight);
    Button1->setGeometry(layout_.buttonLeft, layout_.buttonTop, layout_.buttonWidth, layout_.buttonHeight);
    setFixedSize(layout_.clientWidth, layout_.clientHeight);
    if (QScreen* screen = QApplication::primaryScreen()) {
        QRect area = screen->availableGeometry();
        move(area.center() - QPoint(layout_.clientWidth / 2, layout_.clientHeight / 2));
    }
    Button1->setFocus();
    exec();
}

void TFormYellowMsg::showEvent(QShowEvent* event) {
    logic_.Opened();
    QDialog::showEvent(event);
    raise();
    activateWindow();
}

void TFormYellowMsg::keyPressEvent(QKeyEvent* event) {
    event->accept();
    accept();
}

bool TFormYellowMsg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        accept();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TFormYellowMsg::done(int result) {
    logic_.Closed();
    QDialog::done(result);
}

}  // namespace velbrin
