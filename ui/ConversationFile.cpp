#include "ConversationFile.h"
#include "TranscriptLoading.h"

#include "Conversation.h"
#include "ReasonText.h"
#include "RegularFile.h"
#include "SlicedWork.h"
#include "TranscriptReader.h"

#include <QDir>
#include <QFileInfo>

#include <new>

ConversationFile::Outcome ConversationFile::open(Conversation *conversation, const QString &path, QWidget *window,
                                                 QString *error, QString *notice)
{
    RegularFile file;
    file.setSystemWording(&ReasonText::system);
    if (!file.open(path)) {
        *error = file.errorString();
        return Outcome::Refused;
    }
    TranscriptReader reader;
    reader.begin(file.lastModifiedMsecs());
    reader.reserve(SliceBytes);
    QByteArray piece;
    bool ended = false;
    const auto notAConversation = [&] {
        return tr("« %1 » n'est pas une conversation enregistrée par Dravlin\u00a0: %2.")
            .arg(QDir::toNativeSeparators(path), reader.errorString());
    };
    const auto slice = [&] {
        try {
            if (!file.read(SliceBytes, &piece)) {
                *error = file.errorString();
                return false;
            }
            ended = piece.isEmpty();
            if (ended ? !reader.close() : !reader.feed(piece)) {
                *error = notAConversation();
                return false;
            }
            TranscriptLoading::stage(*conversation, reader);
            reader.takeLines();
        } catch (const std::bad_alloc &) {
            // A file within the limit may still hold more than memory has room for.
            *error = tr("Impossible d'ouvrir « %1 »\u00a0: mémoire insuffisante.")
                         .arg(QDir::toNativeSeparators(path));
            return false;
        }
        return !ended;
    };
    const auto progress = [&] { return file.size() > 0 ? int(file.position() * 1000 / file.size()) : 0; };
    Outcome outcome = Outcome::Cancelled;
    SlicedWork work(window, tr("Ouverture de « %1 »…").arg(QFileInfo(path).fileName()));
    if (work.run(slice, progress))
        outcome = ended && error->isEmpty() ? Outcome::Opened : Outcome::Refused;
    if (outcome == Outcome::Opened)
        TranscriptLoading::commit(*conversation, reader);
    if (outcome == Outcome::Opened && reader.cutLine() > 0)
        *notice = tr("« %1 »\u00a0: la dernière ligne (ligne %2) est coupée, sans fin de ligne\u00a0; elle a été "
                     "ignorée, les lignes avant elle sont ouvertes.")
                      .arg(QDir::toNativeSeparators(path))
                      .arg(reader.cutLine());
    if (outcome != Outcome::Opened)
        conversation->dropStaged();
    return outcome;
}
