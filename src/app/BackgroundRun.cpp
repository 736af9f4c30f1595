#include "app/BackgroundRun.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QObject>
#include <exception>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include "convert/ConversionRun.h"
#include "convert/RunReport.h"

namespace mailvane {

namespace {

// The run's side: each call is carried to the window's thread.
class ForwardingHost : public RunHost {
public:
    ForwardingHost(RunHost& window, QObject& context, const std::atomic<bool>& stop)
        : window_(window), context_(context), stop_(stop) {}

    OutputOptions Options() override {
        return Wait([this] { return window_.Options(); });
    }
    std::optional<std::filesystem::path> ChooseDestination(const std::string& title) override {
        return Wait([&] { return window_.ChooseDestination(title); });
    }
    std::size_t SourceRowCount() override {
        return Wait([this] { return window_.SourceRowCount(); });
    }
    std::filesystem::path SourceRow(std::size_t row) override {
        return Wait([&] { return window_.SourceRow(row); });
    }
    std::filesystem::path SourceRoot(std::size_t row) override {
        return Wait([&] { return window_.SourceRoot(row); });
    }
    void ShowMailboxCaption(const std::string& text) override {
        Post([this, text] { window_.ShowMailboxCaption(text); });
    }
    void ShowFileCaption(const std::string& text) override {
        Post([this, text] { window_.ShowFileCaption(text); });
    }
    void ShowSavedCaption(const std::string& text) override {
        Post([this, text] { window_.ShowSavedCaption(text); });
    }
    void ShowProgressBytes(std::uint64_t done, std::uint64_t total) override {
        Post([this, done, total] { window_.ShowProgressBytes(done, total); });
    }
    void ShowMessage(MessageKind kind, const std::string& title, const std::string& text) override {
        Wait([&] { window_.ShowMessage(kind, title, text); });
    }
    void ShowFailure(const RunFailure& failure) override {
        Post([this, failure] { window_.ShowFailure(failure); });
    }
    void RunStarted() override {
        Wait([this] { window_.RunStarted(); });
    }
    void RunFinished(const RunReport& report) override {
        Wait([&] { window_.RunFinished(report); });
    }
    // The window serves its own events; the run never has to.
    void Yield() override {}
    bool StopRequested() override { return stop_.load(std::memory_order_relaxed); }

private:
    // Runs `work` on the window's thread after everything posted before it,
    // and waits for its result.
    template <typename Work>
    auto Wait(Work work) -> std::invoke_result_t<Work> {
        using Result = std::invoke_result_t<Work>;
        if constexpr (std::is_void_v<Result>) {
            QMetaObject::invokeMethod(&context_, std::move(work), Qt::BlockingQueuedConnection);
        } else {
            std::optional<Result> result;
            QMetaObject::invokeMethod(
                &context_, [&] { result.emplace(work()); }, Qt::BlockingQueuedConnection);
            return std::move(*result);
        }
    }
    template <typename Work>
    void Post(Work work) {
        QMetaObject::invokeMethod(&context_, std::move(work), Qt::QueuedConnection);
    }

    RunHost& window_;
    QObject& context_;
    const std::atomic<bool>& stop_;
};

}  // namespace

void RunInBackground(RunHost& window, QObject& context, const std::atomic<bool>& stop) {
    ForwardingHost host(window, context, stop);
    QEventLoop loop;
    std::exception_ptr failure;
    bool ended = false;  // on the window's thread, once the run has ended
    std::thread worker([&] {
        try {
            ConversionRun(host).Run();
        } catch (...) {
            failure = std::current_exception();
        }
        // Queued behind everything the run posted, so the window has shown
        // it all when the loop ends.
        QMetaObject::invokeMethod(
            &context,
            [&] {
                ended = true;
                loop.quit();
            },
            Qt::QueuedConnection);
    });
    loop.exec();
    // An application that quits ends every event loop at once, but the run
    // may still be waiting for the window to answer it.
    while (!ended) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    worker.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace mailvane
