#include "ConversationFileActions.h"
#include "ConversationTranscript.h"
#include "FigureText.h"

#include "Conversation.h"
#include "ConversationFile.h"
#include "ConversationPcap.h"
#include "PrivateSaveFile.h"
#include "ReasonText.h"
#include "RowText.h"
#include "SlicedWork.h"
#include "Transcript.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include <algorithm>

namespace {

// Row bytes written between two looks at the event loop: some milliseconds
// of work, and never more memory than that on top of the rows held, however
// long the rows.
constexpr qsizetype BytesPerSlice = qsizetype(1) << 20;
// A row's transcript line costs its stamp and prefix on top of its bytes.
constexpr qsizetype LineOverhead = 48;

// How many rows from first on make a slice: one at least.
int sliceRows(const Conversation &conversation, int first, int rows)
{
    int end = first;
    qsizetype bytes = 0;
    while (end < rows && (end == first || bytes < BytesPerSlice))
        bytes += conversation.bytes(end++).size() + LineOverhead;
    return end - first;
}

// "Conversation enregistrée : /home/…/conversation.txt, 1 234 lignes"; 0 and 1 take the singular.
QString rowCountText(const QString &one, const QString &many, const QString &path, qint64 rows)
{
    return (rows < 2 ? one : many).arg(QDir::toNativeSeparators(path), FigureText::count(rows));
}

// The system's reason in the user's words (a full disk, a quota, a
// read-only file system), else what the file said.
QString reasonOf(const PrivateSaveFile &file)
{
    return file.systemError() != 0 ? ReasonText::system(file.systemError()) : RowText::escaped(file.errorString());
}

} // namespace

ConversationFileActions::ConversationFileActions(Conversation *conversation, QWidget *window)
    : QObject(window)
    , m_conversation(conversation)
    , m_window(window)
{
}

QString ConversationFileActions::suggestedFileName(const QDateTime &when)
{
    return when.toString(QStringLiteral("'conversation-'yyyy-MM-dd-HHmmss'.txt'"));
}

void ConversationFileActions::chooseAndSave()
{
    const QString path = QFileDialog::getSaveFileName(
        m_window, tr("Enregistrer la conversation"),
        suggestedFileName(QDateTime::currentDateTime()),
        tr("Texte (*.txt);;Tous les fichiers (*)"));
    if (!path.isEmpty())
        save(path);
}

bool ConversationFileActions::save(const QString &path)
{
    // It may hold what TLS hid (passwords): for its owner only, and a link
    // at path is replaced, never written through.
    PrivateSaveFile file(path);
    bool written = file.open(QIODevice::WriteOnly);
    // The rows shown when asked; those that come meanwhile are for the next save.
    const int rows = m_conversation->rowCount();
    int next = 0;
    // A slice of bytes at a time, so a long capture is never held twice in
    // memory; cancelled, the file is dropped unwritten when it goes out of scope.
    const auto slice = [&] {
        const int count = sliceRows(*m_conversation, next, rows);
        const QByteArray lines = ConversationTranscript::lines(*m_conversation, next, count);
        next += count;
        written = file.write(lines) == lines.size();
        return written && next < rows;
    };
    const auto progress = [&] { return int(qint64(next) * 1000 / std::max(1, rows)); };
    if (written && rows > 0) {
        SlicedWork work(m_window, tr("Enregistrement de « %1 »…").arg(QFileInfo(path).fileName()));
        if (!work.run(slice, progress))
            return false;
    }
    if (written)
        written = file.commit();
    if (written)
        Q_EMIT this->written(rowCountText(tr("Conversation enregistrée : %1, %2 ligne"), tr("Conversation enregistrée : %1, %2 lignes"), path, rows));
    else {
        // A no-break space before the colon keeps it off the start of a wrapped line.
        Q_EMIT failed(tr("Impossible d'enregistrer la conversation dans « %1 »\u00a0: %2")
                          .arg(QDir::toNativeSeparators(path), reasonOf(file)));
    }
    return written;
}

void ConversationFileActions::chooseAndExportPcap()
{
    QString name = suggestedFileName(QDateTime::currentDateTime());
    name.replace(QStringLiteral(".txt"), QStringLiteral(".pcap"));
    const QString path = QFileDialog::getSaveFileName(m_window, tr("Exporter en pcap"), name,
                                                      tr("Capture pcap (*.pcap);;Tous les fichiers (*)"));
    if (!path.isEmpty())
        exportPcap(path);
}

bool ConversationFileActions::exportPcap(const QString &path)
{
    // Like a saved conversation, for its owner only.
    PrivateSaveFile file(path);
    QString error;
    bool written = file.open(QIODevice::WriteOnly);
    if (written) {
        // A slice of rows at a time; cancelled, the file is not written at all.
        ConversationPcap pcap(*m_conversation, &file);
        const auto progress = [&pcap] { return int(qint64(pcap.rowsWritten()) * 1000 / std::max(1, pcap.rowsToWrite())); };
        SlicedWork work(m_window, tr("Export de « %1 »…").arg(QFileInfo(path).fileName()));
        // Cancelled, the file is dropped unwritten when it goes out of scope.
        const auto slice = [&pcap, this] {
            return pcap.writeRows(sliceRows(*m_conversation, pcap.rowsWritten(), pcap.rowsToWrite()));
        };
        if (!work.run(slice, progress))
            return false;
        error = pcap.errorString();
        written = error.isEmpty() && file.commit();
        if (written)
            Q_EMIT this->written(rowCountText(tr("Conversation exportée en pcap : %1, %2 ligne"),
                                              tr("Conversation exportée en pcap : %1, %2 lignes"), path, pcap.rowsToWrite()));
    }
    if (!written) {
        Q_EMIT failed(tr("Impossible d'exporter la conversation dans « %1 »\u00a0: %2")
                          .arg(QDir::toNativeSeparators(path), error.isEmpty() ? reasonOf(file) : error));
    }
    return written;
}

void ConversationFileActions::chooseAndOpen()
{
    const QString path = QFileDialog::getOpenFileName(m_window, tr("Ouvrir une conversation"), QString(),
                                                      tr("Texte (*.txt);;Tous les fichiers (*)"));
    if (!path.isEmpty())
        open(path);
}

bool ConversationFileActions::open(const QString &path)
{
    if (m_relayRunning) {
        Q_EMIT failed(tr("Arrêtez le relais (« Stop ! ») avant d'ouvrir une conversation."));
        return false;
    }
    QString why, notice;
    const ConversationFile::Outcome outcome = ConversationFile::open(m_conversation, path, m_window, &why, &notice);
    if (outcome == ConversationFile::Outcome::Refused)
        Q_EMIT failed(why);
    if (outcome != ConversationFile::Outcome::Opened)
        return false;
    Q_EMIT opened(path);
    // Opened, but not whole: told as plainly as a failure.
    if (!notice.isEmpty())
        Q_EMIT failed(notice);
    return true;
}
