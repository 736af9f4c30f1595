// exit_latency: how long the window keeps the user waiting during a run.
//
//   exit_latency --format pst|eml --output DIR [--exit-after MS] MAILBOX
//
// Opens the main window on the offscreen platform, lists MAILBOX, picks the
// format and presses Convert with DIR as destination. A timer due every 10 ms
// measures how late the window serves its events for the whole run: a click
// at any moment waits that long before anything answers it. With
// --exit-after, Exit is clicked MS after Convert (the question answered Yes),
// and the tool prints how long after the click the question came and how
// long the run then took to stop and the window to close.
//
// Prints "key value" lines; times in milliseconds. A benchmark: nothing here
// is a test.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ScriptedDialogs.h"
#include "WindowProbe.h"
#include "app/NativePath.h"
#include "app/frmStep1.h"

using namespace mailvane;

namespace {

// The answer to Exit's question, timed.
struct TimedDialogs : ScriptedDialogs {
    QElapsedTimer* clock = nullptr;
    qint64 askedAt = -1;
    bool ask(QWidget* owner, const QString& title, const QString& text) override {
        askedAt = clock->elapsed();
        return ScriptedDialogs::ask(owner, title, text);
    }
};

int Usage() {
    std::fprintf(stderr,
                 "usage: exit_latency --format pst|eml --output DIR [--exit-after MS] MAILBOX\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    std::string format, output, mailbox;
    long exitAfter = -1;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!std::strcmp(arg, "--format") && i + 1 < argc) {
            format = argv[++i];
        } else if (!std::strcmp(arg, "--output") && i + 1 < argc) {
            output = argv[++i];
        } else if (!std::strcmp(arg, "--exit-after") && i + 1 < argc) {
            exitAfter = std::strtol(argv[++i], nullptr, 10);
        } else if (mailbox.empty() && arg[0] != '-') {
            mailbox = arg;
        } else {
            return Usage();
        }
    }
    if ((format != "pst" && format != "eml") || output.empty() || mailbox.empty()) return Usage();

    QElapsedTimer clock;
    TimedDialogs dialogs;
    dialogs.clock = &clock;
    frmStep1 window(dialogs);
    window.show();
    window.AddFileToList(std::filesystem::path(mailbox));
    Click(Button(window, format == "pst" ? "OptPST" : "OptEML"));
    dialogs.folders = {QString::fromStdString(output)};
    dialogs.answers = {true};

    // Lateness of a 10 ms timer: the time from when it was due until the
    // window served it.
    std::vector<qint64> late;
    qint64 due = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        late.push_back(std::max<qint64>(0, now - due));
        due = now + 10;
    });

    qint64 exitDue = -1;
    QTimer exitTimer;
    exitTimer.setSingleShot(true);
    exitTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&exitTimer, &QTimer::timeout, [&] { Click(Button(window, "cmdEnd")); });
    QTimer::singleShot(0, [&] {
        // Armed once the run serves events, so both start with the run.
        due = clock.elapsed() + 10;
        probe.start(10);
        if (exitAfter >= 0) {
            exitDue = clock.elapsed() + exitAfter;
            exitTimer.start(int(exitAfter));
        }
    });
    clock.start();
    Click(Button(window, "CmdConvert"));
    const qint64 ended = clock.elapsed();
    probe.stop();

    std::sort(late.begin(), late.end());
    const auto at = [&](double share) {
        return late.empty() ? qint64(0) : late[std::size_t(share * double(late.size() - 1))];
    };
    std::printf("run_ms %lld\n", static_cast<long long>(ended));
    std::printf("ticks %zu\n", late.size());
    std::printf("late_median_ms %lld\n", static_cast<long long>(at(0.5)));
    std::printf("late_p99_ms %lld\n", static_cast<long long>(at(0.99)));
    std::printf("late_max_ms %lld\n", static_cast<long long>(at(1.0)));
    std::printf("late_over_500ms %lld\n",
                static_cast<long long>(
                    std::count_if(late.begin(), late.end(), [](qint64 ms) { return ms > 500; })));
    if (exitAfter >= 0) {
        std::printf("exit_answered_ms %lld\n",
                    static_cast<long long>(dialogs.askedAt < 0 ? -1 : dialogs.askedAt - exitDue));
        std::printf("exit_to_closed_ms %lld\n",
                    static_cast<long long>(dialogs.askedAt < 0 ? -1 : ended - dialogs.askedAt));
        std::printf("window_closed %d\n", window.isVisible() ? 0 : 1);
    }
    std::printf("saved_caption %s\n", qPrintable(Label(window, "LblProgress")->text()));
    std::printf("messages_shown %lld\n", static_cast<long long>(dialogs.messages.size()));
    return 0;
}
