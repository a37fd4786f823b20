#ifndef DRAVLIN_ROWDELEGATE_H
#define DRAVLIN_ROWDELEGATE_H

#include <QFont>
#include <QHash>
#include <QStaticText>
#include <QStyledItemDelegate>

// Draws every row of a pane on one line of one height, whatever it holds.
// The panes take a single row's size for all rows, and the two panes must keep
// their rows level, so a row may never grow. A control character (as
// ControlBytes tells them) is drawn as a small labelled badge, "LF", "ESC",
// "x9B", so no font needs pictures for them and a lone CR or LF never hides
// what follows it. An empty line shows a faint return mark; an alignment row
// stays blank on a faintly shaded background.
//
// Only the start of a row that can fit the pane is fetched and laid out: a
// 64 KiB row costs no more to draw than a short one.
class RowDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    static QColor badgeFill();
    static QColor badgeInk();
    static QColor alignmentBackground(const QPalette &palette);

private:
    void paintRow(QPainter *painter, const QStyleOptionViewItem &option, const QRect &area,
                  const QString &text, const QColor &ink) const;
    const QStaticText &badgeText(const QString &label, const QFont &font) const;

    mutable QHash<QString, QStaticText> m_badgeTexts;
    mutable QFont m_badgeFont;
};

#endif
