#ifndef DRAVLIN_TWIPSCALE_H
#define DRAVLIN_TWIPSCALE_H

#include <QRect>
#include <QSize>

// Turns the window design's twips (1/1440 inch) into pixels at a screen's
// logical DPI. Rectangles are converted edge by edge rather than by width, so
// controls that touch in the design still touch at any DPI.
class TwipScale
{
public:
    static constexpr int TwipsPerInch = 1440;

    TwipScale(qreal dpiX, qreal dpiY);

    int x(int twips) const;
    int y(int twips) const;
    QSize size(int widthTwips, int heightTwips) const;
    QRect rect(int leftTwips, int topTwips, int widthTwips, int heightTwips) const;

private:
    qreal m_dpiX;
    qreal m_dpiY;
};

#endif
