#ifndef DRAVLIN_ROWDETAILSDIALOG_H
#define DRAVLIN_ROWDETAILSDIALOG_H

#include <QByteArrayView>
#include <QDialog>

class Conversation;
class QCheckBox;
class QFormLayout;
class QLabel;
class QPlainTextEdit;
class QVBoxLayout;

// One row of the conversation read whole: its text wrapped (control
// characters written \xHH, as in a transcript), its length, how it ended
// and whether it came through TLS, a hex dump with offsets and the ending
// bytes, when it arrived and how long after the row before it, and for a
// base64 login step what it decodes to, the password masked until the user
// asks to see it. A mark is told as Dravlin's note on the session (what it
// stands for, its endpoints, counts, duration, TLS details), never as bytes
// a side sent. Everything is built once, when the dialog opens.
class RowDetailsDialog : public QDialog
{
    Q_OBJECT

public:
    RowDetailsDialog(const Conversation &conversation, int row, QWidget *parent = nullptr);

    // "00000000  48 65 ...  |He...|", 16 bytes a line.
    static QString hexDump(QByteArrayView bytes);

private Q_SLOTS:
    void onRevealToggled(bool reveal);

private:
    QLabel *addField(const QString &caption, const QString &name, const QString &text);
    void addMarkFields(const Conversation &conversation, int row, QVBoxLayout *layout);
    void addRowFields(const Conversation &conversation, int row, QVBoxLayout *layout);

    QFormLayout *m_form = nullptr;
    QString m_password;
    QStringList m_fields;
    QLabel *m_decoded = nullptr;
    QCheckBox *m_reveal = nullptr;
};

#endif
