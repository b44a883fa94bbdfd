// What the windows show while an exchange runs: how far a refresh's sweep has come
// (told by the library on the exchange's thread, read on the window thread), and the
// indicator that says a window waits.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QPointer>
#include <QString>
#include <QWidget>

#include "velqorin/NetworkAnalyse.h"

class QProgressBar;

namespace velqorin::monitor {

class TExchange;
class TInputHold;

// Collects what the sweep and the dial-up pass tell, and passes the exchange's stop
// request on to them.
class TSweepWatch {
public:
    enum class Phase {
        Idle,       // nothing told yet
        Asking,     // opening an adapter and sending it the request
        Listening,  // reading the replies of a listening window
        DialUp,     // asking the box behind a dial-up link
    };

    struct State {
        Phase phase = Phase::Idle;
        // Asking: the adapter; Listening: the adapters listened to; DialUp: the link.
        std::vector<std::string> names;
        int index = 0;  // of the adapter or link last turned to, from 0
        int count = 0;  // adapters (or links) to turn to
        // How far the listening window has come, 0 to 1000; while asking, the window
        // counts from the last request.
        int windowPermille = 0;
    };

    explicit TSweepWatch(const TExchange& exchange);
    TSweepWatch(const TSweepWatch&) = delete;
    TSweepWatch& operator=(const TSweepWatch&) = delete;

    // For the Ethernet sweep and for the dial-up pass; valid as long as the watch.
    const CVelqorinNetworkAnalyse::SweepObserver* ethernet() const { return &ethernet_; }
    const CVelqorinNetworkAnalyse::SweepObserver* dialUp() const { return &dialUp_; }

    State state() const;
    // Replies the sweep dropped because it already listed as many boxes as it lists.
    int beyondLimit() const;
    // The progress text for `state`, in the current language.
    static QString text(const State& state);

private:
    using SteadyClock = std::chrono::steady_clock;

    static void turnedToAdapter(void* self, const char* name, int index, int count);
    static void turnedToLink(void* self, const char* name, int index, int count);
    void turnedTo(Phase phase, const char* name, int index, int count);
    static void listened(void* self, const char* const* names, int count, int elapsedMs);
    static bool stopAsked(void* self);
    static void tallied(void* self, const CVelqorinNetworkAnalyse::AdapterTally* tally);

    const TExchange& exchange_;
    CVelqorinNetworkAnalyse::SweepObserver ethernet_;
    CVelqorinNetworkAnalyse::SweepObserver dialUp_;
    mutable std::mutex mutex_;
    State state_;
    int beyondLimit_ = 0;
    // When the current listening window began, as far as the sweep has told.
    SteadyClock::time_point windowStart_;
};

// A small bar and a text. Busy: the bar moves without an end (a box is being waited
// for); progress: it shows how far something has come. The text is cut to the room
// there is; the whole text is the tooltip.
class TWaitIndicator : public QWidget {
    Q_OBJECT

public:
    explicit TWaitIndicator(QWidget* parent);

    void showBusy(const QString& text);
    void showProgress(int permille, const QString& text);
    // Lays the indicator over the row of `first` to `last` (a dialog's buttons), from
    // the parent's left margin to its right one.
    void placeOverRow(const QWidget* first, const QWidget* last);

    QString text() const { return text_; }
    QProgressBar* bar() const { return bar_; }

private:
    void setText(const QString& text);

    QProgressBar* bar_;
    QWidget* label_;  // the text, cut to its width
    QString text_;
};

// For the length of a scope, a dialog waits for a box: every control of it is held,
// its indicator lies over its buttons and says what it waits for.
class TDialogWait {
public:
    TDialogWait(QWidget& dialog, TWaitIndicator& indicator, const QWidget* firstButton,
                const QWidget* lastButton, const QString& text);
    ~TDialogWait();
    TDialogWait(const TDialogWait&) = delete;
    TDialogWait& operator=(const TDialogWait&) = delete;

private:
    TWaitIndicator& indicator_;
    QPointer<QWidget> focus_;  // where the operator was, given back afterwards
    std::unique_ptr<TInputHold> hold_;
};

}  // namespace velqorin::monitor
