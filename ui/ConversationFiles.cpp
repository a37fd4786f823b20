#include "ConversationFiles.h"

#include "Conversation.h"
#include "ConversationPcap.h"
#include "PrivateSaveFile.h"
#include "TranscriptReader.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>

#include <algorithm>

ConversationFiles::ConversationFiles(Conversation *conversation, QWidget *window)
    : QObject(window)
    , m_conversation(conversation)
    , m_window(window)
{
}

QString ConversationFiles::suggestedFileName(const QDateTime &when)
{
    return when.toString(QStringLiteral("'conversation-'yyyy-MM-dd-HHmmss'.txt'"));
}

void ConversationFiles::chooseAndSave()
{
    const QString path = QFileDialog::getSaveFileName(
        m_window, QStringLiteral("Enregistrer la conversation"),
        suggestedFileName(QDateTime::currentDateTime()),
        QStringLiteral("Texte (*.txt);;Tous les fichiers (*)"));
    if (!path.isEmpty())
        save(path);
}

bool ConversationFiles::save(const QString &path)
{
    // Written a slice at a time, so a long capture is never held twice in memory.
    constexpr int RowsPerWrite = 16384;
    // It may hold what TLS hid (passwords): for its owner only, and a link
    // at path is replaced, never written through.
    PrivateSaveFile file(path);
    bool written = file.open(QIODevice::WriteOnly);
    const int rows = m_conversation->rowCount();
    for (int first = 0; written && first < rows; first += RowsPerWrite) {
        const QByteArray slice = m_conversation->transcript(first, std::min(RowsPerWrite, rows - first));
        written = file.write(slice) == slice.size();
    }
    if (written)
        written = file.commit();
    if (!written) {
        // A no-break space before the colon keeps it off the start of a wrapped line.
        Q_EMIT failed(QStringLiteral("Impossible d'enregistrer la conversation dans « %1 »\u00a0: %2")
                          .arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    return written;
}

void ConversationFiles::chooseAndExportPcap()
{
    QString name = suggestedFileName(QDateTime::currentDateTime());
    name.replace(QStringLiteral(".txt"), QStringLiteral(".pcap"));
    const QString path = QFileDialog::getSaveFileName(m_window, QStringLiteral("Exporter en pcap"), name,
                                                      QStringLiteral("Capture pcap (*.pcap);;Tous les fichiers (*)"));
    if (!path.isEmpty())
        exportPcap(path);
}

bool ConversationFiles::exportPcap(const QString &path)
{
    // Like a saved conversation, for its owner only.
    PrivateSaveFile file(path);
    QString error;
    bool written = file.open(QIODevice::WriteOnly);
    if (written)
        written = ConversationPcap::write(*m_conversation, &file, &error) && file.commit();
    if (!written) {
        Q_EMIT failed(QStringLiteral("Impossible d'exporter la conversation dans « %1 »\u00a0: %2")
                          .arg(QDir::toNativeSeparators(path), error.isEmpty() ? file.errorString() : error));
    }
    return written;
}

void ConversationFiles::chooseAndOpen()
{
    const QString path = QFileDialog::getOpenFileName(m_window, QStringLiteral("Ouvrir une conversation"), QString(),
                                                      QStringLiteral("Texte (*.txt);;Tous les fichiers (*)"));
    if (!path.isEmpty())
        open(path);
}

bool ConversationFiles::open(const QString &path)
{
    if (m_relayRunning) {
        Q_EMIT failed(QStringLiteral("Arrêtez le relais (« Stop ! ») avant d'ouvrir une conversation."));
        return false;
    }
    TranscriptReader reader;
    if (!reader.readFile(path)) {
        const QString why = reader.errorString();
        Q_EMIT failed(why.startsWith(QStringLiteral("ligne "))
                          ? QStringLiteral("« %1 » n'est pas une conversation enregistrée par Dravlin\u00a0: %2.")
                                .arg(QDir::toNativeSeparators(path), why)
                          : why);
        return false;
    }
    m_conversation->load(reader);
    Q_EMIT opened(path);
    return true;
}
