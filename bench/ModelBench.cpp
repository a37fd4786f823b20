// Fills the panes' model with a million rows, as captured from 64 KiB chunks
// of 78-byte lines, alternating sides chunk by chunk, with both panes
// of the window attached; then moves both panes to the last row and waits until they show it.
//
//   dravlin_bench_model [ROWS]
//
// Prints "key value" lines: the time to append, the time to reach the last
// row, and as a floor the time to merely copy the same rows' bytes.

#include "Conversation.h"
#include "LineCapture.h"
#include "PaneView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr qsizetype LineBytes = 78;
constexpr qsizetype ChunkBytes = qsizetype{64} * 1024;

std::vector<LineCapture::Rows> captureChunks(int rows)
{
    QByteArray stream(rows * LineBytes, 'x');
    for (qsizetype i = 0; i < stream.size(); i += LineBytes) {
        stream[i + LineBytes - 2] = '\r';
        stream[i + LineBytes - 1] = '\n';
    }
    LineCapture capture;
    std::vector<LineCapture::Rows> chunks;
    for (qsizetype at = 0; at < stream.size(); at += ChunkBytes) {
        LineCapture::Rows r = capture.feed(stream.mid(at, ChunkBytes));
        if (!r.isEmpty())
            chunks.push_back(std::move(r));
    }
    return chunks;
}

bool showsLastRow(const PaneView &view, int lastRow)
{
    const QRect row = view.visualRect(view.model()->index(lastRow, view.modelColumn()));
    // Rows may be wider than the pane; being in view is a matter of height.
    return !row.isEmpty() && row.top() >= 0 && row.bottom() <= view.viewport()->rect().bottom();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int rows = argc > 1 ? QByteArray(argv[1]).toInt() : 1000000;
    const std::vector<LineCapture::Rows> chunks = captureChunks(rows);

    // Floor: what copying the rows' bytes alone costs.
    QElapsedTimer clock;
    clock.start();
    QByteArray copy;
    copy.reserve(rows * LineBytes);
    for (const LineCapture::Rows &r : chunks) {
        for (qsizetype i = 0; i < r.count(); ++i)
            copy.append(r.row(i));
    }
    const qint64 copyNs = clock.nsecsElapsed();

    Conversation conversation;
    // The window's own panes, two views of the one model.
    PaneView panes[2];
    for (int column = 0; column < 2; ++column) {
        PaneView &pane = panes[column];
        pane.setModel(&conversation);
        pane.setModelColumn(column);
        pane.resize(400, 600);
        pane.show();
    }
    QApplication::processEvents();

    clock.restart();
    for (size_t i = 0; i < chunks.size(); ++i)
        conversation.appendRows(i % 2 ? Side::Server : Side::Client, chunks[i], 0);
    const qint64 appendNs = clock.nsecsElapsed();

    const int lastRow = conversation.rowCount() - 1;
    for (PaneView &pane : panes) {
        pane.scrollToBottom();
        pane.setCurrentIndex(conversation.index(lastRow, pane.modelColumn()));
    }
    bool shown = false;
    for (int round = 0; round < 1000 && !shown; ++round) {
        QApplication::processEvents();
        shown = showsLastRow(panes[0], lastRow) && showsLastRow(panes[1], lastRow);
    }
    for (PaneView &pane : panes)
        pane.viewport()->repaint();
    const qint64 totalNs = clock.nsecsElapsed();

    std::printf("rows %d\n", conversation.rowCount());
    std::printf("copy_ms %.1f\n", double(copyNs) / 1e6);
    std::printf("append_ms %.1f\n", double(appendNs) / 1e6);
    std::printf("total_ms %.1f\n", double(totalNs) / 1e6);
    std::printf("last_row_shown %d\n", shown ? 1 : 0);
    return shown && conversation.rowCount() == rows ? 0 : 1;
}
