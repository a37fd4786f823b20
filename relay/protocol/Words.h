#ifndef DRAVLIN_WORDS_H
#define DRAVLIN_WORDS_H

#include <QByteArrayView>
#include <QList>

#include <array>

// The few ways the dialects read a line's words, in one place: protocol
// keywords compare in any case, words part at runs of spaces or tabs.
class Words
{
public:
    static bool same(QByteArrayView a, QByteArrayView b) { return a.compare(b, Qt::CaseInsensitive) == 0; }
    static bool begins(QByteArrayView text, QByteArrayView start)
    {
        return text.size() >= start.size() && same(text.first(start.size()), start);
    }
    // word at the start of text, ending there or before a space.
    static bool leads(QByteArrayView text, QByteArrayView word)
    {
        return begins(text, word) && (text.size() == word.size() || text[word.size()] == ' ');
    }
    static bool isBlank(char c) { return c == ' ' || c == '\t'; }
    static bool allDigits(QByteArrayView text);
    // Without its trailing spaces and tabs: servers read past them.
    static QByteArrayView trimmed(QByteArrayView text);
    // A line's first words, parted at runs of spaces and tabs, and how many
    // it has, counted no further than Most: no command a dialect reads has
    // more, and every line a client sends is read, so none costs a list.
    struct Leading {
        static constexpr int Most = 4;
        std::array<QByteArrayView, Most> words{};
        int count = 0; // Most for a line of Most words or more
        bool isEmpty() const { return count == 0; }
        int size() const { return count; }
        QByteArrayView operator[](int i) const { return words[size_t(i)]; }
    };
    static Leading leading(QByteArrayView text);
    // The words, parted at runs of spaces and tabs.
    static QList<QByteArrayView> split(QByteArrayView text);
    // "AUTH PLAIN xyz" read after its verb: mechanism and initial response.
    static QList<QByteArrayView> afterVerb(QByteArrayView text, QByteArrayView verb);

private:
    // The word at or after *at, which moves past it; empty once none is left.
    static QByteArrayView nextWord(QByteArrayView text, qsizetype *at);
};

#endif
