// The blocking exchanges with the boxes (the sweep and dial-up pass of a refresh, the
// ping, the box commands) run on a thread of their own while the window thread keeps
// turning its event loop: the windows paint, answer the window system and show progress.
//
// The caller's handler waits in a local event loop and goes on with the result once the
// exchange is over, so every handler keeps its order from top to bottom. The price of a
// local loop is that the operator's input keeps coming in meanwhile: every window holds
// (disables, or cuts from the analyser's records) whatever could reach the analyser or
// start a second exchange until the exchange is over. One exchange at a time, for the
// whole process: the library lets only one thread use an analyser and its boxes.
#pragma once

#include <atomic>
#include <exception>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <QEventLoop>
#include <QPointer>
#include <QWidget>

namespace velqorin::monitor {

class TExchange {
public:
    TExchange() = default;
    TExchange(const TExchange&) = delete;
    TExchange& operator=(const TExchange&) = delete;

    // True from the start of run() until its work is over.
    bool running() const { return running_.load(); }

    // Asks the running sweep to end at its next read. A command cannot be cut short:
    // it ends when its box answers or its time is up (about 4 s).
    void requestStop() { stop_.store(true); }
    // Read by the sweep's observer on the exchange's thread.
    bool stopRequested() const { return stop_.load(); }

    // Runs `work` on a thread of its own and returns its result once it is over, the
    // event loop turning meanwhile. Nothing (and `work` not run) while another exchange
    // runs. Must be called on the window thread.
    template <class Work>
    auto run(Work&& work) -> std::optional<std::invoke_result_t<Work&>> {
        using Result = std::invoke_result_t<Work&>;
        if (running_.exchange(true)) return std::nullopt;
        const struct Over {
            std::atomic<bool>& running;
            ~Over() { running.store(false); }
        } over{running_};
        stop_.store(false);
        std::optional<Result> result;
        std::exception_ptr error;
        waitWhile([&] {
            try {
                result.emplace(work());
            } catch (...) {
                error = std::current_exception();
            }
        });
        if (error) std::rethrow_exception(error);
        return result;
    }

private:
    // Starts `body` on a new thread, turns the event loop until it is over, joins it.
    template <class Body>
    void waitWhile(Body&& body) {
        QEventLoop loop;
        std::atomic<bool> over{false};
        std::thread worker([&] {
            body();
            over.store(true);
            // Posted to the loop, which outlives the thread: the join below waits for it.
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        // A loop that returns before the work is over was ended by the application
        // quitting (QCoreApplication::exit ends every loop, and any new one at once):
        // the thread is then simply waited for.
        while (!over.load())
            if (loop.exec() != 0) break;
        worker.join();
    }

    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
};

// The process's one exchange at a time.
TExchange& exchanges();

// Disables widgets for the length of a scope and gives each back the enabled state it
// had. Widgets that go away meanwhile are skipped.
class TInputHold {
public:
    explicit TInputHold(const std::vector<QWidget*>& widgets);
    ~TInputHold();
    TInputHold(const TInputHold&) = delete;
    TInputHold& operator=(const TInputHold&) = delete;

private:
    std::vector<std::pair<QPointer<QWidget>, bool>> held_;
};

}  // namespace velqorin::monitor
