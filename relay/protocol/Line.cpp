#include "Line.h"

#include <algorithm>

Line Line::of(QByteArrayView bytes)
{
    Line line;
    line.append(bytes);
    if (!bytes.endsWith('\n'))
        line.append("\r\n");
    return line;
}

void Line::append(QByteArrayView segment)
{
    if (!cut) {
        if (start.size() + segment.size() <= StartBytes) {
            start.append(segment);
            return;
        }
        cut = true;
        end = start.right(EndBytes);
        start.append(segment.first(StartBytes - start.size()));
    }
    end.append(segment.last(std::min(segment.size(), EndBytes)));
    end.remove(0, std::max<qsizetype>(0, end.size() - EndBytes));
}

void Line::clear()
{
    start.truncate(0);
    end.truncate(0);
    cut = false;
}

QByteArrayView Line::text() const
{
    QByteArrayView text = start;
    if (cut)
        return text;
    if (text.endsWith('\n'))
        text.chop(1);
    if (text.endsWith('\r'))
        text.chop(1);
    return text;
}
