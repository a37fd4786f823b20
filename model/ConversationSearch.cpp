#include "ConversationSearch.h"

#include "Conversation.h"
#include "RowText.h"
#include "SessionMarks.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

constexpr std::array<unsigned char, 256> lowerTable()
{
    std::array<unsigned char, 256> table{};
    for (unsigned u = 0; u < 256; ++u)
        table[u] = static_cast<unsigned char>(u >= 'A' && u <= 'Z' ? u + ('a' - 'A') : u);
    return table;
}

constexpr std::array<unsigned char, 256> Lower = lowerTable();

// The characters past ASCII that fold to an ASCII one (the Kelvin sign to
// "k"), worked out once from Qt's own case folding so that the fast path
// agrees with it.
const QList<char32_t> &widelyFolded()
{
    static const QList<char32_t> list = [] {
        QList<char32_t> found;
        for (char32_t c = 0x80; c <= 0x10ffff; ++c) {
            if ((c < 0xd800 || c > 0xdfff) && QChar::toCaseFolded(c) < 0x80)
                found.append(c);
        }
        return found;
    }();
    return list;
}

// Branch-free, so that it runs over many bytes at once.
bool isAscii(QByteArrayView bytes)
{
    unsigned char high = 0;
    for (const char c : bytes)
        high |= static_cast<unsigned char>(c);
    return high < 0x80;
}

} // namespace

ConversationSearch::ConversationSearch(Conversation *conversation, QObject *parent)
    : QObject(parent)
    , m_conversation(conversation)
{
    connect(conversation, &Conversation::rowsInserted, this, &ConversationSearch::onRowsInserted);
    connect(conversation, &Conversation::modelReset, this, &ConversationSearch::onModelReset);
}

ConversationSearch::~ConversationSearch()
{
    // The filter calls back here.
    if (m_filtering && m_conversation)
        m_conversation->setRowFilter({});
}

void ConversationSearch::setText(const QString &text)
{
    if (text == m_text)
        return;
    const QString previousFolded = m_folded;
    m_text = text;
    m_folded = text.toCaseFolded();
    m_ascii.clear();
    m_wideFolds.clear();
    bool ascii = true;
    for (const QChar c : std::as_const(m_folded))
        ascii = ascii && c.unicode() < 0x80;
    if (ascii) {
        m_ascii = m_folded.toLatin1();
        for (const char32_t c : widelyFolded()) {
            if (m_ascii.contains(static_cast<char>(QChar::toCaseFolded(c))))
                m_wideFolds.append(QString::fromUcs4(&c, 1).toUtf8());
        }
        // Horspool's shifts, by folded byte: how far the window may move
        // when that byte ends it.
        const qsizetype m = m_ascii.size();
        m_shift.fill(static_cast<int>(m));
        for (qsizetype i = 0; i + 1 < m; ++i)
            m_shift[static_cast<unsigned char>(m_ascii[i])] = static_cast<int>(m - 1 - i);
    }

    m_error.clear();
    if (m_regex) {
        m_expression = QRegularExpression(text, QRegularExpression::CaseInsensitiveOption);
        if (!text.isEmpty() && !m_expression.isValid())
            m_error = tr("Expression régulière invalide, position %1 : %2")
                          .arg(m_expression.patternErrorOffset())
                          .arg(m_expression.errorString());
    }

    if (m_filtering) {
        applyFilter();
    } else if (m_folded.isEmpty() || !m_error.isEmpty()) {
        m_matches.clear();
    } else if (!m_regex && !previousFolded.isEmpty() && m_folded.contains(previousFolded)) {
        // Every row holding the longer text holds the shorter one.
        m_matches.erase(std::remove_if(m_matches.begin(), m_matches.end(),
                                       [this](int row) { return !rowMatches(row); }),
                        m_matches.end());
    } else {
        m_matches.clear();
        search(0, m_conversation->rowCount() - 1);
    }
    Q_EMIT matchesChanged();
}

void ConversationSearch::setRegularExpression(bool on)
{
    if (on == m_regex)
        return;
    m_regex = on;
    // Searched again from scratch, the same text read the other way.
    const QString text = std::exchange(m_text, QString());
    m_folded.clear();
    setText(text);
}

void ConversationSearch::setFiltering(bool on)
{
    if (on == m_filtering)
        return;
    m_filtering = on;
    applyFilter();
    Q_EMIT matchesChanged();
}

void ConversationSearch::applyFilter()
{
    const bool active = m_filtering && !m_folded.isEmpty() && m_error.isEmpty();
    const bool wasFiltered = m_conversation->isFiltered();
    Conversation::RowFilter keep;
    if (active) {
        keep = [this](QByteArrayView bytes, const SessionMark *mark) {
            return mark ? textMatches(SessionMarks::utf8(*mark)) : textMatches(bytes);
        };
    }
    // A change of filter resets the conversation, and onModelReset() searches
    // the rows it then shows.
    m_conversation->setRowFilter(std::move(keep));
    if (!wasFiltered && !active) {
        m_matches.clear();
        if (!m_folded.isEmpty() && m_error.isEmpty())
            search(0, m_conversation->rowCount() - 1);
    }
}

bool ConversationSearch::isMatch(int row) const
{
    return std::binary_search(m_matches.begin(), m_matches.end(), row);
}

int ConversationSearch::next(int row) const
{
    if (m_matches.empty())
        return -1;
    const auto after = std::upper_bound(m_matches.begin(), m_matches.end(), row);
    return after == m_matches.end() ? m_matches.front() : *after;
}

int ConversationSearch::previous(int row) const
{
    if (m_matches.empty())
        return -1;
    const auto at = std::lower_bound(m_matches.begin(), m_matches.end(), row);
    return at == m_matches.begin() ? m_matches.back() : *std::prev(at);
}

QString ConversationSearch::positionText(int row) const
{
    const auto at = std::lower_bound(m_matches.begin(), m_matches.end(), row);
    const qsizetype position = at != m_matches.end() && *at == row ? at - m_matches.begin() + 1 : 0;
    return tr("%1 / %2").arg(position).arg(m_matches.size());
}

bool ConversationSearch::rowMatches(int row) const
{
    if (m_folded.isEmpty() || !m_error.isEmpty())
        return false;
    // A mark is searched as it is written.
    const QByteArray markText = m_conversation->isMarker(row) ? SessionMarks::utf8(m_conversation->mark(row)) : QByteArray();
    return textMatches(m_conversation->isMarker(row) ? QByteArrayView(markText) : m_conversation->bytes(row));
}

bool ConversationSearch::textMatches(QByteArrayView bytes) const
{
    if (m_folded.isEmpty() || !m_error.isEmpty())
        return false;
    if (m_regex)
        return RowText::display(bytes).contains(m_expression);
    if (!m_ascii.isEmpty()) {
        // ASCII bytes are the same characters whether the row reads as UTF-8
        // or Latin-1, so a raw match is a match.
        if (asciiFind(bytes))
            return true;
        // Only a UTF-8 row can hold a wider character that folds to one of
        // the text's, and then its bytes hold that character's.
        if (m_wideFolds.isEmpty() || isAscii(bytes))
            return false;
        for (const QByteArray &wide : m_wideFolds) {
            if (bytes.contains(wide))
                return decodedFind(bytes);
        }
        return false;
    }
    // A text with wider characters never matches a row of ASCII only.
    return !isAscii(bytes) && decodedFind(bytes);
}

void ConversationSearch::onRowsInserted(const QModelIndex &parent, int first, int last)
{
    if (parent.isValid() || m_folded.isEmpty() || !m_error.isEmpty())
        return;
    const size_t before = m_matches.size();
    search(first, last);
    if (m_matches.size() != before)
        Q_EMIT matchesChanged();
}

void ConversationSearch::onModelReset()
{
    const bool had = !m_matches.empty();
    m_matches.clear();
    if (!m_folded.isEmpty())
        search(0, m_conversation->rowCount() - 1);
    if (had || !m_matches.empty())
        Q_EMIT matchesChanged();
}

void ConversationSearch::search(int first, int last)
{
    for (int row = first; row <= last; ++row) {
        if (rowMatches(row))
            m_matches.push_back(row);
    }
}

bool ConversationSearch::asciiFind(QByteArrayView bytes) const
{
    const qsizetype n = bytes.size();
    const qsizetype m = m_ascii.size();
    if (m > n)
        return false;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const auto *needle = reinterpret_cast<const unsigned char *>(m_ascii.constData());
    const unsigned char last = needle[m - 1];
    for (qsizetype i = 0; i <= n - m;) {
        const unsigned char end = Lower[p[i + m - 1]];
        if (end == last) {
            qsizetype k = 0;
            while (k < m - 1 && Lower[p[i + k]] == needle[k])
                ++k;
            if (k == m - 1)
                return true;
        }
        i += m_shift[end];
    }
    return false;
}

bool ConversationSearch::decodedFind(QByteArrayView bytes) const
{
    return RowText::display(bytes).contains(m_text, Qt::CaseInsensitive);
}
