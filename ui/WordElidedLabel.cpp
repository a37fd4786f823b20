#include "WordElidedLabel.h"

#include <QEvent>
#include <QFontMetrics>

#include <algorithm>

namespace {

const QChar Ellipsis(0x2026);

// What a cut may leave at its end without reading as a sentence's own end.
bool trailsOff(QChar c)
{
    return c.isSpace() || c == QLatin1Char(':') || c == QLatin1Char(',') || c == QLatin1Char(';')
        || c == QChar(0x2014) || c == QChar(0x00a0) || c == QChar(0x202f) || c == QLatin1Char('(');
}

} // namespace

WordElidedLabel::WordElidedLabel(QWidget *parent)
    : QLabel(parent)
{
    // The words are events naming what peers chose, or file names: never markup.
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
}

QString WordElidedLabel::elided(const QString &text, const QFontMetrics &metrics, int width)
{
    if (metrics.horizontalAdvance(text) <= width)
        return text;
    // Cut at the last space that leaves room for the ellipsis; the words
    // kept lose any separator trailing them.
    for (qsizetype cut = text.lastIndexOf(QLatin1Char(' ')); cut > 0; cut = text.lastIndexOf(QLatin1Char(' '), cut - 1)) {
        qsizetype end = cut;
        while (end > 0 && trailsOff(text.at(end - 1)))
            --end;
        if (end == 0)
            break;
        const QString kept = text.left(end) + Ellipsis;
        if (metrics.horizontalAdvance(kept) <= width)
            return kept;
    }
    // Not even the first word fits: the ellipsis alone says there is more.
    return Ellipsis;
}

void WordElidedLabel::setFullText(const QString &text)
{
    m_fullText = text;
    setHint(m_hint);
    updateGeometry();
    refit();
}

void WordElidedLabel::setHint(const QString &hint)
{
    m_hint = hint;
    if (m_fullText.isEmpty())
        setToolTip(hint);
    else
        setToolTip(hint.isEmpty() ? m_fullText : m_fullText + QLatin1Char('\n') + hint);
}

QSize WordElidedLabel::sizeHint() const
{
    // Room for the whole text, as much as the label's frame and padding
    // add to the part shown.
    const QFontMetrics metrics = fontMetrics();
    const QSize shown = QLabel::sizeHint();
    return {shown.width() - metrics.horizontalAdvance(text()) + metrics.horizontalAdvance(m_fullText), shown.height()};
}

QSize WordElidedLabel::minimumSizeHint() const
{
    const QSize shown = QLabel::minimumSizeHint();
    const QFontMetrics metrics = fontMetrics();
    return {shown.width() - metrics.horizontalAdvance(text()) + metrics.horizontalAdvance(Ellipsis), shown.height()};
}

int WordElidedLabel::leastWidth() const
{
    if (m_fullText.isEmpty())
        return 0;
    const QFontMetrics metrics = fontMetrics();
    const qsizetype space = m_fullText.indexOf(QLatin1Char(' '));
    const QString least = space < 0 ? m_fullText : m_fullText.left(space) + Ellipsis;
    return minimumSizeHint().width() - metrics.horizontalAdvance(Ellipsis) + metrics.horizontalAdvance(least);
}

void WordElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    refit();
}

void WordElidedLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        refit();
}

void WordElidedLabel::refit()
{
    const int room = contentsRect().width() - 2 * margin() - indent() * (indent() > 0 ? 1 : 0);
    const QString shown = elided(m_fullText, fontMetrics(), std::max(0, room));
    if (shown != text())
        setText(shown);
}
