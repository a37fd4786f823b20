#ifndef DRAVLIN_WORDELIDEDLABEL_H
#define DRAVLIN_WORDELIDEDLABEL_H

#include <QLabel>

class QFontMetrics;

// A one-line plain-text label that, short of room, ends at a word boundary
// with "…" rather than in the middle of a word; its whole text is in its
// tooltip, above what a click on it offers.
class WordElidedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit WordElidedLabel(QWidget *parent = nullptr);

    void setFullText(const QString &text);
    const QString &fullText() const { return m_fullText; }
    // A line under the text in the tooltip, e.g. what a click does.
    void setHint(const QString &hint);
    // text as it fits in width: whole, else up to a word's end then "…".
    static QString elided(const QString &text, const QFontMetrics &metrics, int width);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // The narrowest it says something in: its first word and "…", or all of
    // a one-word text; no room at all for no text.
    int leastWidth() const;

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void refit();
    QString m_fullText;
    QString m_hint;
};

#endif
