#ifndef DRAVLIN_ROWDELEGATE_H
#define DRAVLIN_ROWDELEGATE_H

#include <QFont>
#include <QHash>
#include <QStaticText>
#include <QStyledItemDelegate>

class Conversation;
class ConversationSearch;

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
//
// A marker row is drawn the same in both panes: its text on a band of its
// own, in italics; a session that ended on a failure in the failure colour
// after a warning sign, a TLS mark after a padlock in the mark's ink. A server reply is faintly tinted by its class (green for
// success, blue for "go on", amber for a transient failure, red for a
// permanent one); a row that came through TLS has a faint lock at its end;
// rows matching a search are highlighted, the current match more strongly.
class RowDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // Rows to highlight; none when no search is set.
    void setSearch(const ConversationSearch *search) { m_search = search; }
    void setCurrentMatch(int row) { m_currentMatch = row; }
    // Each row led by its time of arrival, "HH:MM:SS.mmm", in its own pane,
    // as the conversation has it; none when null.
    void setTimesFrom(const Conversation *conversation) { m_times = conversation; }
    // Marks read across both panes as one line: the left pane's delegate
    // draws a mark's start (leading), the right one's what did not fit in
    // the left pane, whose viewport is leadWidth wide; 0 draws marks whole
    // in each pane.
    void setMarkSpan(bool leading, int leadWidth)
    {
        m_leading = leading;
        m_leadWidth = leadWidth;
    }
    // Where the left pane's share of a mark ends: after the last word that
    // fits in width, never between a figure and its unit; at least one character.
    static int markSplit(const QString &text, const QFontMetrics &metrics, int width);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // Every colour follows the palette: tints lean from its base colour
    // towards a hue, more on a dark base, where a faint tint would not show,
    // and text on them is the palette's own unless it would read poorly there.
    static QColor badgeFill(const QPalette &palette);
    static QColor badgeInk(const QPalette &palette);
    static QColor alignmentBackground(const QPalette &palette);
    static QColor markerBackground(const QPalette &palette);
    static QColor markerInk(const QPalette &palette);
    // A session that ended on a failure: the failure colour, whatever the palette.
    static QColor failureMarkerBackground(const QPalette &palette);
    static QColor failureMarkerInk(const QPalette &palette);
    // The background of a server reply of that ReplyClass::Kind; invalid for none.
    static QColor replyBackground(const QPalette &palette, int replyClass);
    static QColor matchBackground(const QPalette &palette, bool current);
    // The preferred colour for text on that background, or black or white,
    // whichever reads better, when the preferred one would read poorly.
    static QColor inkOn(const QColor &background, const QColor &preferred);

private:
    void paintRow(QPainter *painter, const QStyleOptionViewItem &option, QRect area,
                  const QString &text, const QColor &ink) const;
    const QStaticText &badgeText(const QString &label, const QFont &font) const;

    void paintMarker(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const;

    const ConversationSearch *m_search = nullptr;
    int m_currentMatch = -1;
    const Conversation *m_times = nullptr;
    bool m_leading = false;
    int m_leadWidth = 0;
    mutable QHash<QString, QStaticText> m_badgeTexts;
    mutable QFont m_badgeFont;
};

#endif
