#include "RowDelegate.h"

#include "ControlBytes.h"
#include "Conversation.h"
#include "ConversationSearch.h"
#include "ReplyClass.h"

#include <QApplication>
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

// A small padlock drawn with lines, for rows that came through TLS.
void paintLock(QPainter *painter, QRect area, const QColor &colour)
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
}

} // namespace

QColor RowDelegate::markerBackground()
{
    return QColor(0xe3, 0xea, 0xf6);
}

QColor RowDelegate::markerInk()
{
    return QColor(0x24, 0x3a, 0x6b);
}

QColor RowDelegate::replyBackground(const QPalette &palette, int replyClass)
{
    const QColor base = palette.color(QPalette::Base);
    switch (replyClass) {
    case ReplyClass::Positive:
        return blend(base, QColor(0x2e, 0xa0, 0x43), 0.10);
    case ReplyClass::Intermediate:
        return blend(base, QColor(0x2f, 0x6f, 0xd0), 0.10);
    case ReplyClass::TransientNegative:
        return blend(base, QColor(0xe0, 0x8a, 0x00), 0.16);
    case ReplyClass::PermanentNegative:
        return blend(base, QColor(0xd0, 0x20, 0x20), 0.14);
    default:
        return QColor();
    }
}

QColor RowDelegate::matchBackground(const QPalette &palette, bool current)
{
    return blend(palette.color(QPalette::Base), current ? QColor(0xff, 0x9a, 0x00) : QColor(0xff, 0xe0, 0x30),
                 current ? 0.75 : 0.55);
}

QColor RowDelegate::badgeFill()
{
    return QColor(0xff, 0xe0, 0xb2);
}

QColor RowDelegate::badgeInk()
{
    return QColor(0x6e, 0x33, 0x00);
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
    if (match && !selected) {
        opt.backgroundBrush = matchBackground(opt.palette, index.row() == m_currentMatch);
    } else if (alignment && !selected) {
        opt.backgroundBrush = alignmentBackground(opt.palette);
    } else if (!selected) {
        const QColor reply = replyBackground(opt.palette, index.data(Conversation::ReplyRole).toInt());
        if (reply.isValid())
            opt.backgroundBrush = reply;
    }
    const QWidget *widget = opt.widget;
    const QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
    if (alignment)
        return;

    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget)
                           .adjusted(margin, 0, -margin, 0);
    const QPalette::ColorGroup group = !(opt.state & QStyle::State_Enabled) ? QPalette::Disabled
                                       : (opt.state & QStyle::State_Active) ? QPalette::Normal
                                                                            : QPalette::Inactive;
    const QColor ink = opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
    painter->save();
    painter->setClipRect(area);
    painter->setFont(opt.font);
    const QString text = index.data(Conversation::ShownTextRole).toString();
    if (index.data(Conversation::EncryptedRole).toBool()) {
        QColor faint = ink;
        faint.setAlphaF(0.4);
        paintLock(painter, area, faint);
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
    const int right = area.right() + 1;
    int x = area.left();

    // Whatever is drawn stops at the pane's edge with an ellipsis; no glyph is
    // narrower than a pixel, so no more characters than pixels can show. A
    // run that surely fits is laid out once, drawing and measuring together;
    // only one that may reach the edge is measured first, to be elided.
    const int widest = std::max(1, metrics.maxWidth());
    const auto drawRun = [&](QStringView run) {
        if (run.isEmpty())
            return true;
        const QString piece = QString::fromRawData(run.data(), run.size());
        painter->setPen(ink);
        if (x + run.size() * widest <= right) {
            QRectF drawn;
            painter->drawText(QRectF(x, area.top(), right - x, area.height()),
                              Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextExpandTabs, piece, &drawn);
            x = qCeil(drawn.right());
            return true;
        }
        const int width = metrics.horizontalAdvance(piece);
        if (x + width > right) {
            painter->drawText(QPoint(x, baseline), metrics.elidedText(piece, Qt::ElideRight, right - x));
            return false;
        }
        painter->drawText(QPoint(x, baseline), piece);
        x += width;
        return true;
    };
    const auto drawBadge = [&](const QString &label) {
        const QStaticText &shaped = badgeText(label, badgeFont);
        const int width = qCeil(shaped.size().width()) + 2 * BadgePadding;
        if (x + BadgeGap + width > right) {
            painter->setPen(ink);
            painter->drawText(QPoint(x, baseline), Ellipsis);
            return false;
        }
        const QRect badge(x + BadgeGap, badgeTop, width, badgeHeight);
        painter->fillRect(badge, badgeFill());
        painter->setPen(badgeInk());
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
        if (!drawRun(all.sliced(runStart, i - runStart)) || !drawBadge(ControlBytes::label(c)))
            return;
        runStart = i + 1;
    }
    if (drawRun(all.sliced(runStart, limit - runStart)) && limit < all.size() && x < right) {
        painter->setPen(ink);
        painter->drawText(QPoint(x, baseline), Ellipsis);
    }
}

void RowDelegate::paintMarker(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    // Each pane draws the whole mark, so either one read alone tells where a
    // session starts and ends.
    const bool selected = option.state & QStyle::State_Selected;
    const bool match = m_search && m_search->isMatch(index.row());
    const QRect r = option.rect;
    painter->save();
    painter->fillRect(r, selected ? option.palette.color(QPalette::Highlight)
                          : match ? matchBackground(option.palette, index.row() == m_currentMatch)
                                  : markerBackground());
    painter->setPen(selected ? option.palette.color(QPalette::HighlightedText) : markerInk());
    painter->drawLine(r.topLeft(), r.topRight());
    QFont font = option.font;
    font.setItalic(true);
    painter->setFont(font);
    const QFontMetrics metrics(font, painter->device());
    const QRect area = r.adjusted(4, 0, -4, 0);
    const QString text = metrics.elidedText(index.data(Conversation::ShownTextRole).toString(), Qt::ElideRight,
                                            area.width());
    painter->drawText(area, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
    if (option.state & QStyle::State_HasFocus) {
        QStyleOptionFocusRect focus;
        focus.QStyleOption::operator=(option);
        const QWidget *widget = option.widget;
        (widget ? widget->style() : QApplication::style())->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
    }
    painter->restore();
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
