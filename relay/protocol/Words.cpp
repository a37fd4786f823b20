#include "Words.h"

#include <algorithm>

bool Words::allDigits(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

QByteArrayView Words::trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

QByteArrayView Words::nextWord(QByteArrayView text, qsizetype *at)
{
    while (*at < text.size() && isBlank(text[*at]))
        ++*at;
    const qsizetype start = *at;
    while (*at < text.size() && !isBlank(text[*at]))
        ++*at;
    return text.sliced(start, *at - start);
}

Words::Leading Words::leading(QByteArrayView text)
{
    Leading out;
    qsizetype at = 0;
    while (out.count < Leading::Most) {
        const QByteArrayView word = nextWord(text, &at);
        if (word.isEmpty())
            break;
        out.words[size_t(out.count++)] = word;
    }
    return out;
}

QList<QByteArrayView> Words::split(QByteArrayView text)
{
    QList<QByteArrayView> words;
    qsizetype at = 0;
    for (QByteArrayView word = nextWord(text, &at); !word.isEmpty(); word = nextWord(text, &at))
        words.append(word);
    return words;
}

QList<QByteArrayView> Words::afterVerb(QByteArrayView text, QByteArrayView verb)
{
    QList<QByteArrayView> words = split(text);
    if (words.isEmpty() || !same(words.first(), verb))
        return {};
    words.removeFirst();
    return words;
}
