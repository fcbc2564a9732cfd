#include "app/shell/P00_qtappservices.h"

#include "app/P00_datetime.h"
#include "app/shell/P00_formprogress.h"
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
    WhileWaiting("MSG - " + std::to_string(n + 1000), [&] {
        if (dialog_)
            dialog_->ShowNumbered(n);
        else
            ErrorBox("MSG - " + std::to_string(n + 1000));
    });
}

void TQtAppServices::ShowText(const std::string& text) {
    WhileWaiting(text, [&] {
        if (dialog_)
            dialog_->ShowText(text);
        else
            ErrorBox(text);
    });
}

void TQtAppServices::ShowError(const std::string& text) {
    WhileWaiting(text, [&] { ErrorBox(text); });
}

void TQtAppServices::WhileWaiting(const std::string& what, const std::function<void()>& show) {
    SetState(TLinkState::WaitingForOperator, true, what);
    try {
        show();
    } catch (...) {
        SetState(TLinkState::WaitingForOperator, false, {});
        throw;
    }
    SetState(TLinkState::WaitingForOperator, false, {});
}

void TQtAppServices::SetState(TLinkState state, bool on, const std::string& detail) {
    if (status_.Set(state, on, detail)) Changed();
}

void TQtAppServices::AnswerDelivered(const std::string& name) {
    if (status_.AnswerDelivered(name, DateTime::Now().ZetStamp())) Changed();
}

void TQtAppServices::Progress(TLinkText what, long done, long total) {
    if (progress_) progress_->Report(what, done, total);
}

void TQtAppServices::Changed() {
    if (changed_) changed_();
}

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
