// The hidden main window: owns the configuration, the focus channel for a second
// start, the tray icon with its one item and Timer1. It hides itself when first
// painted; the program lives in the tray until "Kraj rada".
#pragma once

#include "app/P00_inilink.h"
#include "app/P00_linkstatus.h"
#include "app/P00_maincycle.h"
#include "app/P00_startup.h"
#include "app/shell/P00_cycletrigger.h"
#include "app/shell/P00_statusserver.h"
#include "printer/P00_fpdef.h"

#include <QLocalServer>
#include <QLocalSocket>
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
    // "Kraj rada": stops Timer1 and ends the message loop.
    void Close1Click();

    // The tray icon's colour and tooltip for the state shown.
    void ShowState(TLinkState shown, const std::string& tooltip);
    QString TrayToolTip() const { return TrayIcon1.toolTip(); }
    // What a "status" request on the focus channel is answered with.
    void SetStatusSource(std::function<TStatusAnswer()> source) {
        statusSource_ = std::move(source);
        PublishStatus();
    }
    // Takes a new snapshot of the status for the focus channel, which answers
    // from it while the main thread works (after every printer command and
    // every change of state).
    void PublishStatus();
    // The last status snapshot, from any thread.
    std::string StatusSnapshot() const { return focus_.Snapshot(); }
    // Runs a cycle as soon as the loop is free; from any thread.
    void WakeCycle() { cycleTrigger_.Wake(); }

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BringToFront();
    void RunStartup();

    TAppServices& app_;
    TIniLink ini_;
    TStatusServer focus_{this, [this] { BringToFront(); }};
    std::unique_ptr<TFormFPDef> fpDef_;
    QTimer Timer1;
    // Renews the snapshot now and then besides: a tray that appears later is
    // seen without any change of the link's own.
    QTimer statusTimer_;
    QMenu PopupMenu1;
    QAction* Close1 = nullptr;
    QSystemTrayIcon TrayIcon1;
    TStartupSequence startup_;
    TMainCycle cycle_;
    // Timer1 and the watch of ToFpDir start the cycles, one at a time.
    TCycleTrigger cycleTrigger_{Timer1, [this] { return cycle_.Tick(); }};
    std::function<TStatusAnswer()> statusSource_;
    bool shownOnce_ = false;
    bool hiddenOnce_ = false;
};

}  // namespace velbrin
