#include "RowDelegate.h"

#include "ControlBytes.h"
#include "Conversation.h"
#include "ConversationSearch.h"
#include "ReplyClass.h"

#include <QApplication>
#include <QDateTime>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>
#include <QStyle>

#include <algorithm>

namespace {

constexpr int BadgePadding = 2;
constexpr int BadgeGap = 1;
constexpr QChar Ellipsis(0x2026);

QColor blend(const QColor &a, const QColor &b, qreal share)
{
    return QColor::fromRgbF(a.redF() + (b.redF() - a.redF()) * share,
                            a.greenF() + (b.greenF() - a.greenF()) * share,
                            a.blueF() + (b.blueF() - a.blueF()) * share);
}

// A return arrow drawn with lines rather than a character, so it needs no font.
void paintReturnMark(QPainter *painter, QRect area, int size, const QColor &colour)
{
    const qreal left = area.left() + 2;
    const qreal right = left + size;
    const qreal top = area.center().y() - size / 2.0 + 0.5;
    const qreal middle = top + size * 0.65;
    const qreal head = size * 0.3;
    QPainterPath path;
    path.moveTo(right, top);
    path.lineTo(right, middle);
    path.lineTo(left, middle);
    path.moveTo(left + head, middle - head);
    path.lineTo(left, middle);
    path.lineTo(left + head, middle + head);
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(QPen(colour, 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter->drawPath(path);
}

// A small padlock drawn with lines, for rows that came through TLS, at the
// area's right end; gives back the width it takes.
int paintLock(QPainter *painter, QRect area, const QColor &colour)
{
    const int height = std::max(6, area.height() / 2);
    const int width = height * 3 / 4;
    const QRectF body(area.right() - width - 1, area.center().y() - height / 4.0, width, height / 2.0 + 1);
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(QPen(colour, 1.1));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(body);
    const qreal r = width * 0.32;
    QPainterPath shackle;
    shackle.moveTo(body.center().x() - r, body.top());
    shackle.arcTo(QRectF(body.center().x() - r, body.top() - r * 1.6, 2 * r, 2 * r), 180, -180);
    painter->drawPath(shackle);
    return width + 1;
}

} // namespace

namespace {

// WCAG relative luminance, 0 for black to 1 for white.
qreal luminance(const QColor &colour)
{
    const auto linear = [](qreal c) { return c <= 0.04045 ? c / 12.92 : qPow((c + 0.055) / 1.055, 2.4); };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF());
}

qreal contrast(const QColor &a, const QColor &b)
{
    const qreal la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

bool isDark(const QPalette &palette)
{
    return luminance(palette.color(QPalette::Base)) < luminance(palette.color(QPalette::Text));
}

// The base colour leaning towards a hue, by one share on a light base and
// another on a dark one.
QColor tint(const QPalette &palette, const QColor &hue, qreal lightShare, qreal darkShare)
{
    return blend(palette.color(QPalette::Base), hue, isDark(palette) ? darkShare : lightShare);
}

const QColor Orange(0xff, 0x8c, 0x00);
const QColor Blue(0x2f, 0x6f, 0xd0);

} // namespace

QColor RowDelegate::inkOn(const QColor &background, const QColor &preferred)
{
    // 4.5:1 is what small text needs to read comfortably.
    if (contrast(background, preferred) >= 4.5)
        return preferred;
    return contrast(background, Qt::black) >= contrast(background, Qt::white) ? QColor(Qt::black) : QColor(Qt::white);
}

QColor RowDelegate::markerBackground(const QPalette &palette)
{
    return tint(palette, Blue, 0.14, 0.25);
}

QColor RowDelegate::markerInk(const QPalette &palette)
{
    return inkOn(markerBackground(palette), blend(palette.color(QPalette::Text), Blue, 0.35));
}

QColor RowDelegate::failureMarkerBackground(const QPalette &palette)
{
    return tint(palette, QColor(0xd0, 0x20, 0x20), 0.22, 0.34);
}

QColor RowDelegate::failureMarkerInk(const QPalette &palette)
{
    return inkOn(failureMarkerBackground(palette), blend(palette.color(QPalette::Text), QColor(0xb0, 0x00, 0x20), 0.75));
}

QColor RowDelegate::replyBackground(const QPalette &palette, int replyClass)
{
    switch (replyClass) {
    case ReplyClass::Positive:
        return tint(palette, QColor(0x2e, 0xa0, 0x43), 0.10, 0.20);
    case ReplyClass::Intermediate:
        return tint(palette, Blue, 0.10, 0.22);
    case ReplyClass::TransientNegative:
        return tint(palette, QColor(0xe0, 0x8a, 0x00), 0.16, 0.24);
    case ReplyClass::PermanentNegative:
        return tint(palette, QColor(0xd0, 0x20, 0x20), 0.14, 0.26);
    default:
        return QColor();
    }
}

QColor RowDelegate::matchBackground(const QPalette &palette, bool current)
{
    return current ? tint(palette, QColor(0xff, 0x9a, 0x00), 0.75, 0.45)
                   : tint(palette, QColor(0xff, 0xe0, 0x30), 0.55, 0.28);
}

QColor RowDelegate::badgeFill(const QPalette &palette)
{
    return tint(palette, Orange, 0.30, 0.35);
}

QColor RowDelegate::badgeInk(const QPalette &palette)
{
    return inkOn(badgeFill(palette), blend(palette.color(QPalette::Text), Orange, 0.43));
}

QColor RowDelegate::alignmentBackground(const QPalette &palette)
{
    return blend(palette.color(QPalette::Base), palette.color(QPalette::Text), 0.05);
}

void RowDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                        const QModelIndex &index) const
{
    // Not the base class's initStyleOption: it would fetch and decode the
    // whole row. The style draws the cell (background, selection, focus)
    // without text, then the row's visible start is drawn here.
    QStyleOptionViewItem opt = option;
    opt.index = index;
    opt.features |= QStyleOptionViewItem::HasDisplay;
    opt.text.clear();
    if (index.data(Conversation::MarkerRole).toBool()) {
        paintMarker(painter, opt, index);
        return;
    }
    const bool alignment = index.data(Conversation::AlignmentRole).toBool();
    const bool selected = opt.state & QStyle::State_Selected;
    const bool match = m_search && m_search->isMatch(index.row());
    QColor background;
    if (match && !selected)
        background = matchBackground(opt.palette, index.row() == m_currentMatch);
    else if (alignment && !selected)
        background = alignmentBackground(opt.palette);
    else if (!selected)
        background = replyBackground(opt.palette, index.data(Conversation::ReplyRole).toInt());
    // A replayed answer that is not the recorded one: tinted as a failure, with a sign.
    const bool differs = !alignment && !index.data(Conversation::DifferenceRole).toString().isEmpty();
    if (differs && !selected && !match)
        background = failureMarkerBackground(opt.palette);
    if (background.isValid())
        opt.backgroundBrush = background;
    const QWidget *widget = opt.widget;
    const QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
    if (alignment)
        return;

    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget).adjusted(margin, 0, -margin, 0);
    const QPalette::ColorGroup group = !(opt.state & QStyle::State_Enabled) ? QPalette::Disabled
                                       : (opt.state & QStyle::State_Active) ? QPalette::Normal
                                                                            : QPalette::Inactive;
    QColor ink = opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
    if (!selected)
        ink = inkOn(background.isValid() ? background : opt.palette.color(group, QPalette::Base), ink);
    painter->save();
    painter->setClipRect(area);
    painter->setFont(opt.font);
    const QString text = index.data(Conversation::ShownTextRole).toString();
    if (differs) {
        // Framed, so that it is not read as a character the server sent.
        const QString sign = QStringLiteral("\u2260");
        const int width = opt.fontMetrics.horizontalAdvance(sign) + 2 * BadgePadding;
        const QRect badge(area.left(), area.top() + 1, width, area.height() - 2);
        const QColor signInk = selected ? ink : failureMarkerInk(opt.palette);
        painter->setPen(signInk);
        painter->drawRect(badge.adjusted(0, 0, -1, -1));
        painter->drawText(badge, Qt::AlignCenter, sign);
        area.setLeft(badge.right() + 1 + BadgeGap);
    }
    if (index.data(Conversation::EncryptedRole).toBool()) {
        QColor faint = ink;
        faint.setAlphaF(0.4);
        // The text stops short of the lock, so its end stays readable.
        area.setRight(area.right() - paintLock(painter, area, faint) - 2);
    }
    if (m_times) {
        // Faint, so that the row's own text still leads the eye.
        const QString time = QDateTime::fromMSecsSinceEpoch(m_times->arrivedMsecs(index.row()))
                                 .toString(QStringLiteral("HH:mm:ss.zzz"));
        QColor faint = ink;
        faint.setAlphaF(0.6);
        painter->setPen(faint);
        painter->drawText(area, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, time);
        area.setLeft(area.left() + opt.fontMetrics.horizontalAdvance(time + QLatin1String("  ")));
    }
    if (text.isEmpty()) {
        QColor faint = ink;
        faint.setAlphaF(0.35);
        paintReturnMark(painter, area, opt.fontMetrics.ascent() * 2 / 3, faint);
    } else {
        paintRow(painter, opt, area, text, ink);
    }
    painter->restore();
}

void RowDelegate::paintRow(QPainter *painter, const QStyleOptionViewItem &option, QRect area,
                           const QString &text, const QColor &ink) const
{
    const QFontMetrics &metrics = option.fontMetrics;
    QFont badgeFont = option.font;
    badgeFont.setPointSizeF(std::max(5.0, option.font.pointSizeF() * 0.8));
    badgeFont.setWeight(QFont::DemiBold);
    const QFontMetrics badgeMetrics(badgeFont, painter->device());
    const int baseline = area.top() + (area.height() - metrics.height()) / 2 + metrics.ascent();
    const int badgeHeight = std::min(area.height(), badgeMetrics.height() + 1);
    const int badgeTop = area.top() + (area.height() - badgeHeight) / 2;
    const int badgeBaseline = badgeTop + (badgeHeight - badgeMetrics.height()) / 2 + badgeMetrics.ascent();
    const QColor fill = badgeFill(option.palette);
    const QColor badgeColour = badgeInk(option.palette);
    const int right = area.right() + 1;
    // Only the row's last piece may reach the edge: anything before it stops
    // where an ellipsis still fits after it, so a cut row always says so.
    const int inner = right - metrics.horizontalAdvance(Ellipsis);
    int x = area.left();
    const auto drawEllipsis = [&] {
        painter->setPen(ink);
        painter->drawText(QPoint(std::min(x, inner), baseline), Ellipsis);
        return false;
    };

    // No glyph is narrower than a pixel, so no more characters than pixels
    // can show. A run that surely fits is laid out once, drawing and measuring
    // together (a tab reaches at most eight widths further); only one that
    // may reach its limit is measured first, to be elided.
    const int widest = std::max(1, metrics.maxWidth());
    const auto drawRun = [&](QStringView run, bool last) {
        if (run.isEmpty())
            return true;
        const QString piece = QString::fromRawData(run.data(), run.size());
        const int limit = last ? right : inner;
        painter->setPen(ink);
        if (x + (run.size() + 8 * run.count(QLatin1Char('\t'))) * widest <= limit) {
            QRectF drawn;
            painter->drawText(QRectF(x, area.top(), limit - x, area.height()),
                              Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextExpandTabs, piece, &drawn);
            x = qCeil(drawn.right());
            return true;
        }
        const int width = metrics.horizontalAdvance(piece);
        if (x + width <= limit) {
            painter->drawText(QPoint(x, baseline), piece);
            x += width;
            return true;
        }
        // Cut: what fits, then the ellipsis, within the edge.
        const QString cut = metrics.elidedText(last ? piece : piece + Ellipsis, Qt::ElideRight, right - x);
        if (cut.isEmpty())
            return drawEllipsis();
        painter->drawText(QPoint(x, baseline), cut);
        return false;
    };
    const auto drawBadge = [&](const QString &label, bool last) {
        const QStaticText &shaped = badgeText(label, badgeFont);
        const int textWidth = std::max(qCeil(shaped.size().width()), badgeMetrics.horizontalAdvance(label));
        const int width = textWidth + 2 * BadgePadding;
        if (x + BadgeGap + width > (last ? right : inner))
            return drawEllipsis();
        const QRect badge(x + BadgeGap, badgeTop, width, badgeHeight);
        painter->fillRect(badge, fill);
        painter->setPen(badgeColour);
        painter->drawStaticText(QPointF(badge.left() + BadgePadding, badgeBaseline - badgeMetrics.ascent()), shaped);
        x = badge.right() + 1 + BadgeGap;
        return true;
    };

    const QStringView all(text);
    const qsizetype limit = std::min<qsizetype>(all.size(), std::max(0, area.width()) + 1);
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < limit; ++i) {
        const char32_t c = all[i].unicode();
        if (!ControlBytes::isControl(c))
            continue;
        if (!drawRun(all.sliced(runStart, i - runStart), false) || !drawBadge(ControlBytes::label(c), i + 1 == all.size()))
            return;
        runStart = i + 1;
    }
    if (drawRun(all.sliced(runStart, limit - runStart), limit == all.size()) && limit < all.size())
        drawEllipsis();
}

void RowDelegate::paintMarker(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    // Each pane draws the whole mark, so either one read alone tells where a
    // session starts and ends.
    const bool selected = option.state & QStyle::State_Selected;
    const bool match = m_search && m_search->isMatch(index.row());
    const QRect r = option.rect;
    const int kind = index.data(Conversation::MarkKindRole).toInt();
    const bool failure = kind == Conversation::FailureMark;
    painter->save();
    const QColor background = selected ? option.palette.color(QPalette::Highlight)
                              : match  ? matchBackground(option.palette, index.row() == m_currentMatch)
                              : failure ? failureMarkerBackground(option.palette)
                                       : markerBackground(option.palette);
    painter->fillRect(r, background);
    const QColor ink = selected ? option.palette.color(QPalette::HighlightedText)
                                : inkOn(background, failure ? failureMarkerInk(option.palette) : markerInk(option.palette));
    painter->setPen(ink);
    painter->drawLine(r.topLeft(), r.topRight());
    QFont font = option.font;
    font.setItalic(true);
    painter->setFont(font);
    const QFontMetrics metrics(font, painter->device());
    QRect area = r.adjusted(4, 0, -4, 0);
    // The left pane's area, as its delegate lays it out, when this draws the rest.
    const int leadRight = m_leadWidth - 4;
    int leadLeft = 4;
    if (kind == Conversation::TlsMark && m_leadWidth == 0) {
        // In the text's own ink, full strength: the sign of a TLS mark must read as well as its words.
        const int lock = std::max(8, r.height() * 3 / 4);
        const int width = paintLock(painter, QRect(area.left(), r.center().y() - lock, lock, 2 * lock), ink);
        area.setLeft(area.left() + width + 4);
        painter->setPen(ink);
    } else if (kind == Conversation::TlsMark) {
        leadLeft += std::max(8, r.height() * 3 / 4) * 3 / 4 + 1 + 4;
    }
    QString shown = index.data(Conversation::ShownTextRole).toString();
    if (failure)
        shown.prepend(QStringLiteral("\u26a0 "));
    if (m_leading) {
        shown.truncate(markSplit(shown, metrics, area.width()));
    } else if (m_leadWidth > 0) {
        shown = shown.mid(markSplit(shown, metrics, leadRight - leadLeft));
        if (shown.isEmpty())
            area = QRect();
    }
    // The left pane's share of the line ends at a word that fits: no "…", the line goes on in the right pane.
    const QString text = m_leading ? shown : metrics.elidedText(shown, Qt::ElideRight, area.width());
    painter->setClipRect(area);
    painter->drawText(area, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
    painter->setClipping(false);
    if (option.state & QStyle::State_HasFocus) {
        QStyleOptionFocusRect focus;
        focus.QStyleOption::operator=(option);
        const QWidget *widget = option.widget;
        (widget ? widget->style() : QApplication::style())->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
    }
    painter->restore();
}

int RowDelegate::markSplit(const QString &text, const QFontMetrics &metrics, int width)
{
    if (metrics.horizontalAdvance(text) <= width)
        return int(text.size());
    // After the last word that fits, but never between a figure and its unit ("2,584 s").
    int fits = 1;
    for (int at = text.indexOf(QLatin1Char(' ')); at > 0; at = text.indexOf(QLatin1Char(' '), at + 1)) {
        if (metrics.horizontalAdvance(text.left(at)) > width)
            break;
        if (!text.at(at - 1).isDigit())
            fits = at + 1;
    }
    return fits;
}

const QStaticText &RowDelegate::badgeText(const QString &label, const QFont &font) const
{
    // Labels are few and drawn over and over: each is laid out once per font.
    if (font != m_badgeFont) {
        m_badgeTexts.clear();
        m_badgeFont = font;
    }
    auto found = m_badgeTexts.find(label);
    if (found == m_badgeTexts.end()) {
        QStaticText shaped(label);
        shaped.setTextFormat(Qt::PlainText);
        shaped.prepare(QTransform(), font);
        found = m_badgeTexts.insert(label, shaped);
    }
    return *found;
}

QSize RowDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    // Measured on a one-character line so the height never depends on which
    // row the view happens to sample.
    Q_UNUSED(index);
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, QModelIndex());
    opt.text = QStringLiteral(" ");
    const QStyle *style = opt.widget ? opt.widget->style() : QApplication::style();
    return style->sizeFromContents(QStyle::CT_ItemViewItem, &opt, QSize(), opt.widget);
}
