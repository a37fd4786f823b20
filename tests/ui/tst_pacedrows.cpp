#include "PacedRows.h"

#include <QAbstractItemModelTester>
#include <QStringListModel>
#include <QtTest>

// Rows reach the views at most once an interval, and a reset of the source
// at once. The source is any flat model.
class TestPacedRows : public QObject
{
    Q_OBJECT

    static void append(QStringListModel &source, const QString &text)
    {
        const int row = source.rowCount();
        source.insertRows(row, 1);
        source.setData(source.index(row), text);
    }

private Q_SLOTS:
    // The first row of a burst is handed over at once, the rest together
    // one interval later or when asked; a reset drops what was held back;
    // after a quiet spell a row is shown at once again. Changes of rows
    // not handed over are not told.
    void aBurstReachesTheViewsInTwoHandOvers()
    {
        QStringListModel source;
        PacedRows paced(&source);
        QAbstractItemModelTester tester(&paced, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy handOvers(&paced, &QAbstractItemModel::rowsInserted);
        QSignalSpy changed(&paced, &QAbstractItemModel::dataChanged);
        for (int i = 0; i < 200; ++i)
            append(source, QString::number(i));
        QVERIFY(handOvers.count() == 1 && paced.rowCount() == 1);
        QCOMPARE(changed.count(), 1); // the first row's text, not the others'
        QCOMPARE(paced.index(0, 0).data().toString(), QStringLiteral("0"));
        QVERIFY(!paced.index(1, 0).data().isValid());
        QVERIFY(handOvers.wait(10 * PacedRows::IntervalMs));
        QCOMPARE(paced.rowCount(), 200); // not timed: a coarse timer may fire a little early
        QCOMPARE(paced.index(199, 0).data().toString(), QStringLiteral("199"));

        append(source, QStringLiteral("held")); // within the interval: held back
        QCOMPARE(paced.rowCount(), 200);
        paced.publish();
        paced.publish(); // nothing more to hand over
        QVERIFY(paced.rowCount() == 201 && handOvers.count() == 3);

        append(source, QStringLiteral("held"));
        source.setStringList({QStringLiteral("after")});
        QCOMPARE(paced.rowCount(), 1);
        QVERIFY(!handOvers.wait(3 * PacedRows::IntervalMs)); // the held row is not handed over
        append(source, QStringLiteral("quiet")); // after a quiet spell
        QCOMPARE(paced.rowCount(), 2);
    }
};

QTEST_GUILESS_MAIN(TestPacedRows)
#include "tst_pacedrows.moc"
