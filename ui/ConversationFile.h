#ifndef DRAVLIN_CONVERSATIONFILE_H
#define DRAVLIN_CONVERSATIONFILE_H

#include <QCoreApplication>
#include <QString>

class Conversation;
class QWidget;

// Opens a saved conversation into the model: only an ordinary file of at
// most RegularFile's limit, read a piece at a time under a progress dialog
// that can cancel it. The rows shown stay as they were until the whole file
// has been read; they go (kept for undo) only when it has.
class ConversationFile
{
    Q_DECLARE_TR_FUNCTIONS(ConversationFile)

public:
    enum class Outcome { Opened, Refused, Cancelled };

    // Bytes of the file read in each slice.
    static constexpr qsizetype SliceBytes = qsizetype{1} << 20;

    // On Refused, error says why in French: the file and the reason, or the
    // line at fault. On Opened, notice says what was left out (a last line
    // cut short), else stays empty.
    static Outcome open(Conversation *conversation, const QString &path, QWidget *window, QString *error,
                        QString *notice);
};

#endif
