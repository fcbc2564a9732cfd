// The printer status window: caption "Status", the identification and the raw
// answer of the printer, and the group "FP550 Status" with one box per status
// bit. "Refresh" reads the printer again; Esc or "Close" ends it.
#pragma once

#include "app/status/P00_fpstatus.h"

#include <QDialog>

#include <array>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace velbrin {

class TFormFPStatus : public QDialog {
public:
    explicit TFormFPStatus(const TFpStatusProbe& probe);

    // Reads the printer and shows the reading.
    void Refresh();
    // Shows a reading (also for tests and screenshots).
    void Show(const TFpStatusReading& r);

private:
    const TFpStatusProbe& probe_;
    QLabel* PortLabel;
    QLineEdit* Identification;
    QLineEdit* RecvData;
    QLineEdit* RecvStatus;
    QLabel* Problem;
    QPushButton* RefreshButton;
    std::array<std::array<QCheckBox*, 6>, 6> boxes_{};
};

}  // namespace velbrin
