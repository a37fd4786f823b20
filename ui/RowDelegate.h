#ifndef DRAVLIN_ROWDELEGATE_H
#define DRAVLIN_ROWDELEGATE_H

#include <QStyledItemDelegate>

// Draws every row of a pane on one line of one height, whatever it holds.
// The panes take a single row's size for all rows, and the two panes must keep
// their rows level, so a row may never grow: a lone CR or LF, or any other
// control character, is shown as its Unicode control picture (U+2400 block)
// instead of breaking the line. TAB is left as it is.
class RowDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QString displayText(const QVariant &value, const QLocale &locale) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    static QString singleLine(QString text);
};

#endif
