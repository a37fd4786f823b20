#ifndef DRAVLIN_CONVERSATIONSEARCH_H
#define DRAVLIN_CONVERSATIONSEARCH_H

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QPointer>
#include <QRegularExpression>
#include <QString>

#include <QList>

#include <array>
#include <vector>

class Conversation;
class QModelIndex;

// Finds the rows of a conversation, both sides, whose text holds a given
// text, case ignored as QString::contains(Qt::CaseInsensitive) ignores it,
// over each row's text as the panes show it (RowText::display).
//
// Long captures are searched in their raw bytes: an ASCII text is matched
// byte for byte with ASCII case folded, and a row is decoded only when its
// non-ASCII characters could still make a match. Rows arriving later are
// searched as they come; a clear empties the matches.
//
// As a regular expression (case ignored too), every row is decoded and
// matched; a pattern that does not compile matches nothing and says why.
//
// Filtering, the conversation shows the matching rows only (each with the
// other pane's alignment row, as always), rows to come as they match; row
// numbers are then of those rows.
class ConversationSearch : public QObject
{
    Q_OBJECT

public:
    explicit ConversationSearch(Conversation *conversation, QObject *parent = nullptr);
    ~ConversationSearch() override;

    // Searches all rows again; an empty text matches nothing. A text that
    // extends the previous one only looks among its matches.
    void setText(const QString &text);
    QString text() const { return m_text; }
    // The text read as a regular expression, or as it is (the default).
    void setRegularExpression(bool on);
    bool isRegularExpression() const { return m_regex; }
    // Why the pattern does not compile, in French; empty when it does.
    QString patternError() const { return m_error; }
    // An empty or broken pattern filters nothing out.
    void setFiltering(bool on);
    bool isFiltering() const { return m_filtering; }

    // Matching rows, in order.
    const std::vector<int> &matches() const { return m_matches; }
    int count() const { return static_cast<int>(m_matches.size()); }
    bool isMatch(int row) const;
    // The first match after row, wrapping round to the first one; -1 when
    // there is none. Row -1 gives the first match.
    int next(int row) const;
    // The last match before row, wrapping round to the last one; -1 when none.
    int previous(int row) const;
    // "3 / 12" when row is the 3rd of 12 matches, "0 / 12" when it is none of them.
    QString positionText(int row) const;

    // Whether one row's text holds the searched text.
    bool rowMatches(int row) const;

Q_SIGNALS:
    void matchesChanged();

private Q_SLOTS:
    void onRowsInserted(const QModelIndex &parent, int first, int last);
    void onModelReset();

private:
    void search(int first, int last);
    bool asciiFind(QByteArrayView bytes) const;
    bool decodedFind(QByteArrayView bytes) const;
    bool textMatches(QByteArrayView bytes) const;
    // Gives the conversation the filter the pattern makes, or none.
    void applyFilter();

    // Gone first when the window closes.
    QPointer<Conversation> m_conversation;
    QString m_text;
    QString m_folded;
    // The folded text when it is ASCII, else empty.
    QByteArray m_ascii;
    // The UTF-8 of the characters past ASCII that fold to one of the text's
    // (the Kelvin sign to "k"): a row holding one must be decoded.
    QList<QByteArray> m_wideFolds;
    std::array<int, 256> m_shift{};
    std::vector<int> m_matches;
    bool m_regex = false;
    bool m_filtering = false;
    QRegularExpression m_expression;
    QString m_error;
};

#endif
