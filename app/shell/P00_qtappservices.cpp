#include "app/shell/P00_qtappservices.h"

#include "app/shell/P00_formyellowmsg.h"
#include "app/shell/P00_qttext.h"

#include <QApplication>
#include <QMessageBox>

namespace velbrin {

void TQtAppServices::Terminate() {
    terminated_ = true;
    // queued, so the loop ends once control is back in it (and also when the
    // request comes before the loop has started)
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void TQtAppServices::ProcessMessages() { QCoreApplication::processEvents(); }

void TQtAppServices::ShowNumbered(int n) {
    if (dialog_)
        dialog_->ShowNumbered(n);
    else
        ErrorBox("MSG - " + std::to_string(n + 1000));
}

void TQtAppServices::ShowText(const std::string& text) {
    if (dialog_)
        dialog_->ShowText(text);
    else
        ErrorBox(text);
}

void TQtAppServices::ShowError(const std::string& text) { ErrorBox(text); }

void TQtAppServices::ShowNotice(const std::string& text) {
    // Modeless: the box stays until the operator closes it, the cycles go on.
    auto* box = new QMessageBox(QMessageBox::Warning, "Velbrin - LINK", QtText(text), QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    box->setModal(false);
    box->show();
}

void TQtAppServices::ErrorBox(const std::string& text) {
    QMessageBox box(QMessageBox::Critical, "Velbrin - LINK", QtText(text), QMessageBox::Ok);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
}

}  // namespace velbrin
