#include "app/status/P00_formfpstatus.h"

#include "app/shell/P00_qttext.h"
#include "printer/P00_fp.h"

#include <QApplication>
#include <QCheckBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace velbrin {

TFormFPStatus::TFormFPStatus(const TFpStatusProbe& probe) : QDialog(nullptr), probe_(probe) {
    setWindowTitle("Status");
    auto* top = new QVBoxLayout(this);

    auto* fields = new QFormLayout;
    PortLabel = new QLabel(this);
    Identification = new QLineEdit(this);
    RecvData = new QLineEdit(this);
    RecvStatus = new QLineEdit(this);
    for (QLineEdit* e : {Identification, RecvData, RecvStatus}) e->setReadOnly(true);
    fields->addRow("Port:", PortLabel);
    fields->addRow("Identification:", Identification);
    fields->addRow("RecvData:", RecvData);
    fields->addRow("RecvStatus:", RecvStatus);
    top->addLayout(fields);

    Problem = new QLabel(this);
    Problem->setWordWrap(true);
    Problem->setStyleSheet("color: #b00000; font-weight: bold;");
    Problem->hide();
    top->addWidget(Problem);

    auto* status = new QGroupBox("FP550 Status", this);
    auto* grid = new QGridLayout(status);
    for (int i = 0; i < 6; ++i) {
        auto* group = new QGroupBox(StatusGroupCaption(i), status);
        auto* column = new QVBoxLayout(group);
        for (int j = 0; j < 6; ++j) {
            auto* box = new QCheckBox(StatusBitCaption(i, j), group);
            // shows the printer's bits; a click must not change them
            box->setAttribute(Qt::WA_TransparentForMouseEvents);
            box->setFocusPolicy(Qt::NoFocus);
            column->addWidget(box);
            boxes_[i][j] = box;
        }
        grid->addWidget(group, i / 3, i % 3);
    }
    top->addWidget(status);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    RefreshButton = new QPushButton("Refresh", this);
    auto* close = new QPushButton("Close", this);
    buttons->addWidget(RefreshButton);
    buttons->addWidget(close);
    top->addLayout(buttons);
    QObject::connect(RefreshButton, &QPushButton::clicked, this, [this] { Refresh(); });
    QObject::connect(close, &QPushButton::clicked, this, &QDialog::reject);
    RefreshButton->setDefault(true);
}

void TFormFPStatus::Refresh() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    TFpStatusReading r = probe_.Read();
    QApplication::restoreOverrideCursor();
    Show(r);
}

void TFormFPStatus::Show(const TFpStatusReading& r) {
    PortLabel->setText(QtText(r.port.empty() ? "-" : r.port));
    Identification->setText(QtText(r.identification));
    RecvData->setText(QtText(r.recvData));
    RecvStatus->setText(QtText(r.recvStatus));
    std::string problem = r.answered ? r.note : r.problem;
    Problem->setText(QtText(problem));
    Problem->setVisible(!problem.empty());
    const auto bits = DecodeStatusHex(r.recvStatus);
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j) boxes_[i][j]->setChecked(bits[i][j]);
}

}  // namespace velbrin
