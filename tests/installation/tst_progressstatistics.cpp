#include "installation/progressstatistics.h"

#include <QtTest>

#include <limits>

using namespace korvane::launcher;

class TestProgressStatistics : public QObject
{
    Q_OBJECT

private slots:
    void startsEmpty()
    {
        const TProgressStatistics statistics;
        QCOMPARE(statistics.sampleCount, 0u);
        QCOMPARE(statistics.minimum, std::numeric_limits<TFileSize>::max());
        QCOMPARE(statistics.maximum, 0u);
    }

    void firstSampleSetsEverything()
    {
        TProgressStatistics statistics;
        statistics.maximum = 999; // left from an earlier window
        statistics.addSample(40);
        QCOMPARE(statistics.sampleCount, 1u);
        QCOMPARE(statistics.minimum, 40u);
        QCOMPARE(statistics.maximum, 40u);
        QCOMPARE(statistics.average, 40.0);
    }

    void averagesAndZeroSamples()
    {
        TProgressStatistics statistics;
        statistics.addSample(30);
        statistics.addSample(0); // a tick in which nothing arrived lowers the rate
        statistics.addSample(60);
        QCOMPARE(statistics.sampleCount, 3u);
        QCOMPARE(statistics.minimum, 0u);
        QCOMPARE(statistics.maximum, 60u);
        QCOMPARE(statistics.average, 30.0);
    }

    void windowRestartsAfterFiftyOneSamples()
    {
        TProgressStatistics statistics;
        double sum = 0;
        for (int i = 0; i < 50; ++i) {
            statistics.addSample(TFileSize(i));
            sum += i;
        }
        QCOMPARE(statistics.sampleCount, 50u);
        statistics.addSample(100);
        sum += 100;
        const auto mean = TFileSize(sum / 51);
        QCOMPARE(statistics.sampleCount, 1u);
        QCOMPARE(statistics.minimum, mean);
        QCOMPARE(statistics.maximum, mean);
        QCOMPARE(statistics.average, double(mean));
        statistics.addSample(mean + 2);
        QCOMPARE(statistics.sampleCount, 2u);
        QCOMPARE(statistics.average, double(mean) + 1);
    }
};

QTEST_GUILESS_MAIN(TestProgressStatistics)
#include "tst_progressstatistics.moc"
