// The run's yields: pending events are processed only when the interval has
// passed since they last were, measured from the end of that processing.
#include <QTest>

#include "app/EventPacer.h"

using namespace mailvane;
using namespace std::chrono_literals;

class EventPacerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void runsAtMostOncePerInterval() {
        std::chrono::steady_clock::time_point now{};
        int runs = 0;
        EventPacer pacer([&] { ++runs; }, 20ms, [&] { return now; });

        QVERIFY(pacer.Tick());  // the first yield always lets events through
        now += 19ms;
        QVERIFY(!pacer.Tick());
        now += 1ms;
        QVERIFY(pacer.Tick());
        QVERIFY(!pacer.Tick());
        QCOMPARE(runs, 2);
    }

    void timeSpentProcessingEventsDoesNotCount() {
        std::chrono::steady_clock::time_point now{};
        int runs = 0;
        // The user keeps a box open for a second during the first yield.
        EventPacer pacer(
            [&] {
                if (++runs == 1) now += 1s;
            },
            20ms, [&] { return now; });
        QVERIFY(pacer.Tick());
        now += 10ms;
        QVERIFY(!pacer.Tick());
        now += 10ms;
        QVERIFY(pacer.Tick());
    }
};

QTEST_GUILESS_MAIN(EventPacerTest)
#include "EventPacerTest.moc"
