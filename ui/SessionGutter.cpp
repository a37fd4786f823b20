#include "SessionGutter.h"

#include "Conversation.h"
#include "PaneView.h"
#include "RowDelegate.h"

#include <QEvent>
#include <QPainter>

#include <algorithm>

SessionGutter::SessionGutter(PaneView *pane)
    : QWidget(pane)
    , m_pane(pane)
{
    setObjectName(QStringLiteral("gutterSessions"));
    setToolTip(tr("Numéro de la session de chaque ligne"));
    hide();
    pane->installEventFilter(this);
    pane->viewport()->installEventFilter(this);
}

void SessionGutter::setShown(bool shown)
{
    if (shown == isVisible())
        return;
    setVisible(shown);
    place();
}

void SessionGutter::place()
{
    // As wide as the newest session's number, the largest, and never narrower than "#64".
    const int width = isVisible()
        ? m_pane->fontMetrics().horizontalAdvance(QStringLiteral("#") + QString(m_digits, QLatin1Char('8'))) + 10
        : 0;
    m_pane->setLeftMargin(width);
    const QRect inside = m_pane->contentsRect();
    setGeometry(inside.left(), inside.top(), width, inside.height());
}

bool SessionGutter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_pane && (event->type() == QEvent::Resize || event->type() == QEvent::FontChange))
        place();
    // Whatever the pane draws anew (scrolled, rows shown, a reset) may have
    // moved the rows this column numbers.
    else if (watched == m_pane->viewport() && event->type() == QEvent::Paint && isVisible()) {
        const QAbstractItemModel *model = m_pane->model();
        const int rows = model ? model->rowCount() : 0;
        const int newest = rows > 0 ? model->index(rows - 1, 0).data(Conversation::SessionRole).toInt() : 0;
        const int digits = std::max(2, int(QString::number(newest).size()));
        if (digits != m_digits) {
            m_digits = digits;
            QMetaObject::invokeMethod(this, &SessionGutter::place, Qt::QueuedConnection);
        }
        update();
    }
    return QWidget::eventFilter(watched, event);
}

QColor SessionGutter::background(const QPalette &palette)
{
    return RowDelegate::alignmentBackground(palette);
}

QColor SessionGutter::numberInk(const QPalette &palette, int session)
{
    // Hues a golden angle apart, so that neighbouring numbers never look
    // alike; dark enough on a light base, pale enough on a dark one.
    const bool dark = palette.color(QPalette::Base).lightness() < palette.color(QPalette::Text).lightness();
    const QColor hue = QColor::fromHsv((session * 137) % 360, dark ? 90 : 255, dark ? 245 : 110);
    return RowDelegate::inkOn(background(palette), hue);
}

void SessionGutter::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QPalette &palette = m_pane->palette();
    painter.fillRect(rect(), background(palette));
    const QAbstractItemModel *model = m_pane->model();
    const int first = m_pane->firstVisibleRow();
    if (!model || first < 0)
        return;
    const int rowHeight = m_pane->rowHeight();
    const int last = std::min(model->rowCount() - 1, first + height() / rowHeight);
    const auto sessionOf = [&](int row) {
        return model->index(row, m_pane->modelColumn()).data(Conversation::SessionRole).toInt();
    };
    painter.setFont(m_pane->font());
    // A strip in the session's hue by every row; the number where a run of
    // its rows starts, and on the top row, which may be in the middle of one.
    int before = first > 0 ? sessionOf(first - 1) : 0;
    for (int row = first; row <= last; ++row) {
        const int session = sessionOf(row);
        const QRect place(0, (row - first) * rowHeight, width(), rowHeight);
        if (session > 0) {
            const QColor ink = numberInk(palette, session);
            painter.fillRect(place.adjusted(width() - 3, 0, 0, 0), ink);
            if (session != before || row == first) {
                painter.setPen(ink);
                painter.drawText(place.adjusted(0, 0, -6, 0), Qt::AlignRight | Qt::AlignVCenter,
                                 QStringLiteral("#%1").arg(session));
            }
        }
        before = session;
    }
}
