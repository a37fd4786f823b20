#include "LineCapture.h"

#include <QTest>

using Lines = QList<QByteArray>;

namespace {

constexpr qsizetype Max = LineCapture::MaxRowBytes;

// Each row, with "|cut" or "|unended" after one that no CR LF followed.
Lines rowsOf(const LineCapture::Rows &rows, Lines out = {})
{
    for (qsizetype i = 0; i < rows.count(); ++i) {
        const char *end[] = {"", "|cut", "|unended"};
        out.append(rows.row(i).toByteArray() + end[int(rows.end(i))]);
    }
    return out;
}

} // namespace

class TestLineCapture : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cutsLines_data()
    {
        QTest::addColumn<Lines>("chunks");
        QTest::addColumn<Lines>("rows");  // while the connection lasts
        QTest::addColumn<Lines>("atEnd"); // shown when it ends

        const QByteArray a(Max, 'a');
        QTest::newRow("lines, empty ones") << Lines{"250 OK\r\n\r\nX\r\n"} << Lines{"250 OK", "", "X"}
                                           << Lines{};
        QTest::newRow("line split") << Lines{"", "HE", "", "LO x\r\n"} << Lines{"HELO x"} << Lines{};
        QTest::newRow("CR | LF") << Lines{"a\r", "\nb\r\n\r", "\nc"} << Lines{"a", "b", ""} << Lines{"c|unended"};
        QTest::newRow("lone LF, CR are text") << Lines{"a\nb\rc\n\r\r\n"} << Lines{"a\nb\rc\n\r"}
                                              << Lines{};
        QTest::newRow("separator LF not reused") << Lines{"a\r\n\n\r\n"} << Lines{"a", "\n"} << Lines{};
        QTest::newRow("CR, then not LF") << Lines{"a\r", "b\r\n"} << Lines{"a\rb"} << Lines{};
        QTest::newRow("NUL and high bytes") << Lines{QByteArray("\0\xff\r\n", 4)}
                                            << Lines{QByteArray("\0\xff", 2)} << Lines{};
        QTest::newRow("tail") << Lines{"QUIT"} << Lines{} << Lines{"QUIT|unended"};
        QTest::newRow("trailing CR in tail") << Lines{"250\r"} << Lines{} << Lines{"250\r|unended"};
        QTest::newRow("exactly 64 KiB") << Lines{a + "\r\n"} << Lines{a} << Lines{};
        QTest::newRow("64 KiB + 1, split")
            << Lines{a.left(1000), a.mid(1000) + "b", "\r\n"} << Lines{a + "|cut", "b"} << Lines{};
        QTest::newRow("150 KiB unterminated")
            << Lines{a + a + a.left(22 * 1024)} << Lines{a + "|cut", a + "|cut"} << Lines{a.left(22 * 1024) + "|unended"};
        QTest::newRow("64 KiB then CR at the end") << Lines{a, "\r"} << Lines{} << Lines{a + "|cut", "\r|unended"};
        QTest::newRow("128 KiB line") << Lines{a + a + "\r\n"} << Lines{a + "|cut", a} << Lines{};
    }

    // Rows end at CR LF only, whatever the chunks; a line is cut at 64 KiB;
    // each row says whether a CR LF followed it.
    void cutsLines()
    {
        QFETCH(Lines, chunks);
        QFETCH(Lines, rows);
        QFETCH(Lines, atEnd);
        LineCapture capture;
        Lines shown;
        for (const QByteArray &chunk : chunks) {
            shown = rowsOf(capture.feed(chunk), shown);
            QVERIFY2(capture.tail().size() <= Max + 1, "the kept tail is bounded");
        }
        QCOMPARE(shown, rows);
        QCOMPARE(rowsOf(capture.flush()), atEnd);
        QVERIFY2(capture.flush().isEmpty(), "a tail is shown once");

        capture.feed("half");
        capture.reset();
        QVERIFY(capture.flush().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestLineCapture)
#include "tst_linecapture.moc"
