// The small window of long printer work (article synchronisation, deleting the
// printer's articles, an article file of thousands of rows, the day closing):
// what is done and how many of how many, in the operator's language. It appears
// only when the work has run longer than about two seconds, never takes the
// keyboard from the cash register application, and closes when the work ends.
#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QWidget>
#include <chrono>

#include "app/P00_msg.h"

namespace velbrin {

class TFormProgress : public QWidget {
public:
    static constexpr std::chrono::milliseconds kShowAfter{2000};
    static constexpr std::chrono::milliseconds kRepaintEvery{100};

    explicit TFormProgress(const TMsgTable& texts);

    // done of total of the work `what`; done >= total (or no total) ends it.
    void Report(TLinkText what, long done, long total);
    QString Caption() const { return Label->text(); }

private:
    using Clock = std::chrono::steady_clock;

    const TMsgTable& texts_;
    QLabel* Label;
    QProgressBar* Bar;
    bool running_ = false;
    TLinkText what_ = TLinkText::ProgressTitle;
    Clock::time_point started_, painted_;
};

}  // namespace velbrin
