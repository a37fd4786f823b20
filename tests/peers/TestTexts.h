// Test data written once for every suite: texts as UTF-8 literals, every byte value.
#pragma once

#include <QByteArray>
#include <QStringList>

#include <initializer_list>
#include <numeric>

inline QStringList textList(std::initializer_list<const char *> utf8)
{
    QStringList all;
    for (const char *text : utf8)
        all.append(QString::fromUtf8(text));
    return all;
}

// 00 to FF, once each.
inline QByteArray everyByte()
{
    QByteArray bytes(256, '\0');
    std::iota(bytes.begin(), bytes.end(), char(0));
    return bytes;
}
