// The hidden main window: owns the configuration, the focus channel for a second
// start, the tray icon with its one item and Timer1. It hides itself when first
// painted; the program lives in the tray until "Kraj rada".
#pragma once

#include "app/P00_inilink.h"
#include "app/P00_maincycle.h"
#include "app/P00_startup.h"
#include "app/shell/P00_cycletrigger.h"
#include "printer/P00_fpdef.h"

#include <QLocalServer>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

namespace velbrin {

class TFormMainLINK : public QWidget {
public:
    static constexpr const char* kCaption = "Velbrin - LINK v7.4.44";
    static constexpr const char* kFocusName = "ZorvexFocus";

    explicit TFormMainLINK(TAppServices& app);
    ~TFormMainLINK() override;

    TIniLink& Ini() { return ini_; }
    TFormFPDef& FPDef() { return *fpDef_; }
    TStartupSequence& Startup() { return startup_; }
    TMainCycle& Cycle() { return cycle_; }

    // Full path of the focus channel in the runtime directory.
    static QString FocusServerPath();
    // A second start: ask the running instance to come to the front.
    static void AskFirstInstanceToFront();
    // Runs one cycle of Timer1 (also reachable from tests of the shell).
    void Timer1Timer();
    void EnableTimer1() { Timer1.start(); }
    // "Kraj rada": stops Timer1 and ends the message loop.
    void Close1Click();

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void ListenForFocus();
    void BringToFront();
    void RunStartup();

    TAppServices& app_;
    TIniLink ini_;
    QLocalServer focus_;
    std::unique_ptr<TFormFPDef> fpDef_;
    QTimer Timer1;
    QMenu PopupMenu1;
    QAction* Close1 = nullptr;
    QSystemTrayIcon TrayIcon1;
    TStartupSequence startup_;
    TMainCycle cycle_;
    // Timer1 and the watch of ToFpDir start the cycles, one at a time.
    TCycleTrigger cycleTrigger_{Timer1, [this] { return cycle_.Tick(); }};
    bool shownOnce_ = false;
    bool hiddenOnce_ = false;
};

}  // namespace velbrin
