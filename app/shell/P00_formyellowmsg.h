// The important-message dialog: fixed border, tool-tip background, centred, on
// top of other windows; any key or "OK" closes it. What it shows, logs and
// signals is decided by TYellowMsg; this class only measures and draws.
#pragma once

#include "app/P00_yellowmsg.h"

#include <QDialog>

class QGroupBox;
class QLabel;
class QPushButton;

namespace velbrin {

class TFormYellowMsg : public QDialog {
public:
    explicit TFormYellowMsg(TYellowMsg& logic);

    void ShowNumbered(int n);
    void ShowText(const std::string& text);
    // Layout of the last showing (for tests under a display).
    const TYellowMsgLayout& LastLayout() const { return layout_; }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void done(int result) override;

private:
    void ShowPrepared();

    TYellowMsg& logic_;
    QGroupBox* GroupBox1;
    QLabel* LabelMsg;
    QPushButton* Button1;
    TYellowMsgLayout layout_;
};

}  // namespace velbrin
