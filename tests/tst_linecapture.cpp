#include "LineCapture.h"

#include <QRandomGenerator>
#include <QTest>

using Lines = QList<QByteArray>;

namespace {

constexpr qsizetype Max = LineCapture::MaxRowBytes;

void appendRows(Lines &out, const LineCapture::Rows &rows)
{
    for (qsizetype i = 0; i < rows.count(); ++i)
        out.append(rows.row(i).toByteArray());
}

// Feeds the chunks in order, then ends the connection.
Lines capture(const Lines &chunks, bool flushAtEnd = true)
{
    LineCapture capture;
    Lines rows;
    for (const QByteArray &chunk : chunks)
        appendRows(rows, capture.feed(chunk));
    if (flushAtEnd)
        appendRows(rows, capture.flush());
    return rows;
}

// The stream cut at the given positions (sorted, within the stream).
Lines split(const QByteArray &stream, const QList<qsizetype> &cuts)
{
    Lines chunks;
    qsizetype from = 0;
    for (const qsizetype cut : cuts) {
        chunks.append(stream.mid(from, cut - from));
        from = cut;
    }
    chunks.append(stream.mid(from));
    return chunks;
}

} // namespace

class TestLineCapture : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cutsLines_data();
    void cutsLines();
    void keepsTailUntilConnectionEnds();
    void boundsRowsAndTail_data();
    void boundsRowsAndTail();
    void anySplitGivesSameRows();
    void resetForgetsTail();
};

void TestLineCapture::cutsLines_data()
{
    QTest::addColumn<Lines>("chunks");
    QTest::addColumn<Lines>("rows"); // before the connection ends

    QTest::newRow("two lines") << Lines{"250 OK\r\nX\r\n"} << Lines{"250 OK", "X"};
    QTest::newRow("empty line at end") << Lines{"250 OK\r\n\r\n"} << Lines{"250 OK", ""};
    QTest::newRow("empty line inside") << Lines{"abc\r\n\r\nxyz\r\n"} << Lines{"abc", "", "xyz"};
    QTest::newRow("short line alone") << Lines{"OK\r\n"} << Lines{"OK"};
    QTest::newRow("bare separator") << Lines{"\r\n"} << Lines{""};
    QTest::newRow("no separator") << Lines{"HELO"} << Lines{};
    QTest::newRow("line split") << Lines{"HE", "LO x\r\n"} << Lines{"HELO x"};
    QTest::newRow("CR | LF") << Lines{"250\r", "\n"} << Lines{"250"};
    QTest::newRow("CR | LF, then more") << Lines{"a\r", "\nb\r", "\nc"} << Lines{"a", "b"};
    QTest::newRow("lone LF is text") << Lines{"a\nb\r\n"} << Lines{"a\nb"};
    QTest::newRow("lone CR is text") << Lines{"a\rb\r\n"} << Lines{"a\rb"};
    QTest::newRow("CR CR LF") << Lines{"a\r\r\n"} << Lines{"a\r"};
    QTest::newRow("LF CR is no separator") << Lines{"a\n\rb\r\n"} << Lines{"a\n\rb"};
    QTest::newRow("CR, then non-LF") << Lines{"a\r", "b\r\n"} << Lines{"a\rb"};
    QTest::newRow("separator LF not reused") << Lines{"a\r\n\n\r\n"} << Lines{"a", "\n"};
    QTest::newRow("NUL and high bytes kept")
        << Lines{QByteArray("\0\xff\x80\r\n", 5)} << Lines{QByteArray("\0\xff\x80", 3)};
    QTest::newRow("empty chunk") << Lines{"", "x\r\n", ""} << Lines{"x"};
}

void TestLineCapture::cutsLines()
{
    QFETCH(Lines, chunks);
    QFETCH(Lines, rows);
    QCOMPARE(capture(chunks, false), rows);
}

void TestLineCapture::keepsTailUntilConnectionEnds()
{
    LineCapture c;
    QVERIFY(c.feed("QUIT").isEmpty());
    QCOMPARE(c.tail(), QByteArray("QUIT"));
    Lines rows;
    appendRows(rows, c.flush());
    QCOMPARE(rows, Lines{"QUIT"});
    QVERIFY2(c.flush().isEmpty(), "a tail is shown once");

    // A trailing CR waits for its LF, but at the end it is part of the row.
    QVERIFY(c.feed("250\r").isEmpty());
    rows.clear();
    appendRows(rows, c.flush());
    QCOMPARE(rows, Lines{"250\r"});

    // Nothing kept, nothing shown: not even an empty row.
    QVERIFY(c.feed("x\r\n").count() == 1);
    QVERIFY(c.flush().isEmpty());
}

void TestLineCapture::boundsRowsAndTail_data()
{
    QTest::addColumn<qsizetype>("lineLength");
    QTest::addColumn<QByteArray>("ending");
    QTest::addColumn<QList<qsizetype>>("rowLengths");

    const QByteArray crlf("\r\n");
    QTest::newRow("exactly 64 KiB") << Max << crlf << QList<qsizetype>{Max};
    QTest::newRow("64 KiB + 1") << Max + 1 << crlf << QList<qsizetype>{Max, qsizetype(1)};
    QTest::newRow("150 KiB") << qsizetype(150 * 1024) << crlf << QList<qsizetype>{Max, Max, qsizetype(22 * 1024)};
    QTest::newRow("2 x 64 KiB") << 2 * Max << crlf << QList<qsizetype>{Max, Max};
    QTest::newRow("unterminated 150 KiB")
        << qsizetype(150 * 1024) << QByteArray() << QList<qsizetype>{Max, Max, qsizetype(22 * 1024)};
    // The CR waits for an LF that never comes; the row shown at the end must
    // still respect the bound.
    QTest::newRow("64 KiB then CR, unterminated")
        << Max << QByteArray("\r") << QList<qsizetype>{Max, qsizetype(1)};
}

void TestLineCapture::boundsRowsAndTail()
{
    QFETCH(qsizetype, lineLength);
    QFETCH(QByteArray, ending);
    QFETCH(QList<qsizetype>, rowLengths);

    const QByteArray stream = QByteArray(lineLength, 'a') + ending;
    const QByteArray shown = QByteArray(lineLength, 'a') + (ending == "\r\n" ? "" : ending);

    // Whole, and in small pieces: the kept tail never grows past one row.
    for (const qsizetype piece : {stream.size(), qsizetype(1000), qsizetype(Max - 1)}) {
        LineCapture c;
        Lines rows;
        for (qsizetype at = 0; at < stream.size(); at += piece) {
            appendRows(rows, c.feed(stream.mid(at, piece)));
            QVERIFY2(c.tail().size() <= Max + 1, "kept tail is bounded");
        }
        appendRows(rows, c.flush());
        QList<qsizetype> lengths;
        for (const QByteArray &row : rows)
            lengths.append(row.size());
        QCOMPARE(lengths, rowLengths);
        QCOMPARE(rows.join(), shown);
    }
}

void TestLineCapture::anySplitGivesSameRows()
{
    // Separators, lone CRs and LFs, empty lines, and a line over 64 KiB that
    // ends with CR right at the row bound.
    QByteArray stream = "220 ready\r\nEHLO\r\r\n\r\na\nb\rc\r\n\r";
    stream.append(QByteArray(Max, 'x')).append("\r\r\n").append(QByteArray(Max, 'y')).append('\r');
    stream.append("\nlast\r");

    const Lines whole = capture({stream});
    for (const QByteArray &row : whole)
        QVERIFY(row.size() <= Max);

    // Every single cut near the interesting places, then many random splits.
    QList<qsizetype> cutPoints;
    for (qsizetype i = 0; i <= 40; ++i)
        cutPoints.append(i);
    for (qsizetype i = Max + 20; i <= Max + 50; ++i)
        cutPoints.append(i);
    for (qsizetype i = stream.size() - 12; i <= stream.size(); ++i)
        cutPoints.append(i);
    for (const qsizetype cut : cutPoints)
        QCOMPARE(capture(split(stream, {cut})), whole);

    QRandomGenerator random(20240601);
    for (int round = 0; round < 200; ++round) {
        QList<qsizetype> cuts;
        const int pieces = random.bounded(1, 40);
        for (int i = 0; i < pieces; ++i)
            cuts.append(random.bounded(stream.size() + 1));
        std::sort(cuts.begin(), cuts.end());
        QCOMPARE(capture(split(stream, cuts)), whole);
    }
}

void TestLineCapture::resetForgetsTail()
{
    LineCapture c;
    c.feed("half a li");
    c.reset();
    QVERIFY(c.flush().isEmpty());
    Lines rows;
    appendRows(rows, c.feed("ne\r\n"));
    QCOMPARE(rows, Lines{"ne"});
}

QTEST_GUILESS_MAIN(TestLineCapture)
#include "tst_linecapture.moc"
