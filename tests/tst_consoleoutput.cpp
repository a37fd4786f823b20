#include "EventLog.h"
#include "LineCapture.h"
#include "Transcript.h"
#include "TranscriptWriter.h"

#include <QtTest>
#include <fcntl.h>
#include <unistd.h>

// The console's outputs on their own, writing to files and pipes: the
// transcript writer (stdout) and the event log (stderr). How they fail, fill
// and end is seen through the program itself, in the console suite.
namespace {

// A chunk as the relay hands it over: its rows share a buffer of the given size.
LineCapture::Rows chunk(const QByteArray &bytes, qsizetype bufferBytes = 0)
{
    QByteArray buffer;
    buffer.reserve(qMax(bufferBytes, bytes.size()));
    buffer.append(bytes);
    return LineCapture().feed(buffer);
}

QByteArray readAllFrom(int fd)
{
    QByteArray all;
    char block[65536];
    for (ssize_t n; (n = ::read(fd, block, sizeof block)) > 0;)
        all.append(block, n);
    return all;
}

} // namespace

class TestConsoleOutput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Tiny chunks are packed, large ones queued as read: either way every row
    // comes out once, in order, with its chunk's stamp.
    void mixedChunksComeOutWholeAndInOrder()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        QByteArray expected;
        {
            TranscriptWriter writer(file.handle());
            writer.setTimestamps(true);
            QRandomGenerator random(8);
            for (int i = 0; i < 3000; ++i) {
                const Side side = i % 3 ? Side::Client : Side::Server;
                const bool large = random.bounded(4) == 0;
                QByteArray bytes;
                for (int rows = large ? 600 : 1 + random.bounded(3); rows > 0; --rows)
                    bytes += "row " + QByteArray::number(i) + (random.bounded(9) ? "" : "\x01\\\xff") + "\r\n";
                const LineCapture::Rows rows = chunk(bytes, large ? 0 : 64 * 1024);
                const qint64 at = 1700000000000 + i;
                writer.write(side, rows, at);
                const QByteArray stamp = Transcript::stamp(at);
                for (qsizetype r = 0; r < rows.count(); ++r)
                    Transcript::appendLine(expected, stamp, side, rows.row(r));
            }
            QCOMPARE(writer.finish(QDeadlineTimer(10000)), 0);
        }
        QVERIFY(file.seek(0));
        QCOMPARE(file.readAll(), expected);
    }

    // Events towards a stderr nobody reads never block the relay's thread;
    // the first ones wait, the rest are counted, and all is told once read.
    void eventLogNeverBlocks()
    {
        int ends[2];
        QVERIFY(::pipe(ends) == 0);
        EventLog log(ends[1]);
        const QString event = QStringLiteral("événement ").repeated(100); // 1.1 KB a line
        for (int i = 0; i < 1000; ++i) // far past the pipe and the backlog
            log.print(event + QString::number(i));
        ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
        QByteArray told;
        QTRY_VERIFY_WITH_TIMEOUT((told += readAllFrom(ends[0])).contains("perdu(s)"), 5000);
        const QByteArray first = "dravlin: " + event.toUtf8() + "0\n";
        QVERIFY(told.startsWith(first));
        const qsizetype lines = told.count('\n');
        QVERIFY(lines > 10 && lines < 1000);
        QVERIFY2(told.endsWith(QStringLiteral("dravlin: %1 message(s) d'événement perdu(s), la sortie d'erreur ne lisait plus\n")
                                   .arg(1000 - (lines - 1)).toUtf8()),
                 told.right(200).constData());
        ::close(ends[0]);
        ::close(ends[1]);
    }
};

QTEST_GUILESS_MAIN(TestConsoleOutput)
#include "tst_consoleoutput.moc"
