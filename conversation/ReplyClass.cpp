#include "ReplyClass.h"

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Whether the row has word at this position, in any case, ending there or
// followed by a space.
bool wordAt(QByteArrayView row, qsizetype at, QByteArrayView word)
{
    if (row.size() < at + word.size())
        return false;
    if (row.sliced(at, word.size()).compare(word, Qt::CaseInsensitive) != 0)
        return false;
    return row.size() == at + word.size() || row.at(at + word.size()) == ' ';
}

// IMAP tags are atoms: no space, no control character and none of (){%*"\]+.
bool isTagChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f)
        return false;
    return QByteArrayView("(){%*\"\\]+").indexOf(c) < 0;
}

} // namespace

ReplyClass::Kind ReplyClass::classify(QByteArrayView row)
{
    if (row.size() >= 3 && row[0] >= '1' && row[0] <= '5' && isDigit(row[1]) && isDigit(row[2])
        && (row.size() == 3 || row[3] == ' ' || row[3] == '-')) {
        switch (row[0]) {
        case '2':
            return Positive;
        case '4':
            return TransientNegative;
        case '5':
            return PermanentNegative;
        default:
            return Intermediate;
        }
    }
    if (wordAt(row, 0, "+OK"))
        return Positive;
    if (wordAt(row, 0, "-ERR"))
        return PermanentNegative;
    if (wordAt(row, 0, "+"))
        return Intermediate;
    qsizetype tagEnd = 0;
    while (tagEnd < row.size() && isTagChar(row[tagEnd]))
        ++tagEnd;
    if (tagEnd == 0 || tagEnd == row.size() || row[tagEnd] != ' ')
        return None;
    if (wordAt(row, tagEnd + 1, "OK"))
        return Positive;
    if (wordAt(row, tagEnd + 1, "NO"))
        return TransientNegative;
    if (wordAt(row, tagEnd + 1, "BAD"))
        return PermanentNegative;
    return None;
}
