// Helpers the window, pane and export suites share.
#pragma once

#include "LineCapture.h"
#include "PaneView.h"

#include <QAbstractItemModel>

// Rows as the capture hands them over, one per line given.
inline LineCapture::Rows rowsOf(const QList<QByteArray> &lines)
{
    LineCapture::Rows rows;
    for (const QByteArray &line : lines) {
        rows.spans.append({rows.buffer.size(), line.size()});
        rows.buffer.append(line);
    }
    return rows;
}

// Texts written as UTF-8 literals.
inline QStringList textsOf(std::initializer_list<const char *> texts)
{
    QStringList all;
    for (const char *text : texts)
        all.append(QString::fromUtf8(text));
    return all;
}

inline QModelIndex paneIndex(const PaneView *pane, int row)
{
    return pane->model()->index(row, pane->modelColumn());
}

inline QString shown(const PaneView *pane, int row) { return paneIndex(pane, row).data().toString(); }

inline QPoint rowCentre(const PaneView *pane, int row) { return pane->visualRect(paneIndex(pane, row)).center(); }

// Every row a pane shows, top to bottom.
inline QStringList shownRows(const PaneView *pane)
{
    QStringList rows;
    for (int row = 0; row < pane->model()->rowCount(); ++row)
        rows.append(shown(pane, row));
    return rows;
}
