#include "TwipScale.h"

#include <QtMath>

TwipScale::TwipScale(qreal dpiX, qreal dpiY)
    : m_dpiX(dpiX > 0 ? dpiX : 96.0)
    , m_dpiY(dpiY > 0 ? dpiY : 96.0)
{
}

int TwipScale::x(int twips) const
{
    return qRound(twips * m_dpiX / TwipsPerInch);
}

int TwipScale::y(int twips) const
{
    return qRound(twips * m_dpiY / TwipsPerInch);
}

QSize TwipScale::size(int widthTwips, int heightTwips) const
{
    return {x(widthTwips), y(heightTwips)};
}

QRect TwipScale::rect(int leftTwips, int topTwips, int widthTwips, int heightTwips) const
{
    const int left = x(leftTwips);
    const int top = y(topTwips);
    return {left, top, x(leftTwips + widthTwips) - left, y(topTwips + heightTwips) - top};
}
