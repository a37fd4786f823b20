#include "RowDelegate.h"

#include <QApplication>
#include <QStyle>

QString RowDelegate::singleLine(QString text)
{
    for (QChar &c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 && u != u'\t')
            c = QChar(char16_t(0x2400 + u));
        else if (u == 0x7f)
            c = QChar(char16_t(0x2421));
    }
    return text;
}

QString RowDelegate::displayText(const QVariant &value, const QLocale &locale) const
{
    return singleLine(QStyledItemDelegate::displayText(value, locale));
}

QSize RowDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    // Measured on a one-character line so the height never depends on which
    // row the view happens to sample.
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.text = QStringLiteral(" ");
    const QStyle *style = opt.widget ? opt.widget->style() : QApplication::style();
    return style->sizeFromContents(QStyle::CT_ItemViewItem, &opt, QSize(), opt.widget);
}
