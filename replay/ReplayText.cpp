#include "ReplayText.h"

#include "ReasonText.h"
#include "RowText.h"

namespace {

QString shown(const QByteArray &bytes)
{
    return RowText::escaped(RowText::display(bytes));
}

QString numbers(const QList<int> &list)
{
    QStringList texts;
    for (int n : list)
        texts.append(QString::number(n));
    return texts.join(QStringLiteral(", "));
}

} // namespace

QString ReplayText::clientName()
{
    return tr("rejeu");
}

QString ReplayText::answerTo(const AnswerReading::Answer &answer)
{
    using To = AnswerReading::Answer::To;
    switch (answer.to) {
    case To::Greeting:
        return tr("l'accueil du serveur");
    case To::MessageEnd:
        return tr("la fin du message (« %1 »)").arg(shown(answer.command));
    case To::Command:
        return tr("« %1 »").arg(shown(answer.command));
    case To::Unpaired:
        break;
    }
    return QString();
}

QString ReplayText::key(const AnswerReading::Answer &answer, const QByteArray &key)
{
    // Whole rows are quoted; a code or a status reads as it is.
    return answer.to == AnswerReading::Answer::To::Unpaired ? tr("« %1 »").arg(shown(key)) : shown(key);
}

QString ReplayText::notice(const ReplayNotice &notice, const QString &server)
{
    switch (notice.kind) {
    case ReplayNotice::Kind::Difference: {
        const QString to = answerTo(notice.expected);
        const QString expected = key(notice.expected, notice.expected.key);
        if (notice.got.isEmpty()) {
            return to.isEmpty() ? tr("réponse manquante : attendu %1, rien reçu").arg(expected)
                                : tr("réponse manquante à %1 : attendu %2, rien reçu").arg(to, expected);
        }
        const QString got = key(notice.expected, notice.got);
        return to.isEmpty() ? tr("réponse différente : attendu %1, reçu %2").arg(expected, got)
                            : tr("réponse différente à %1 : attendu %2, reçu %3").arg(to, expected, got);
    }
    case ReplayNotice::Kind::NotSent:
        return tr("la suite de %1 (%2) n'est pas envoyée : le serveur ne l'a pas demandée")
            .arg(answerTo(notice.expected), notice.rows == 1 ? tr("1 ligne") : tr("%1 lignes").arg(notice.rows));
    case ReplayNotice::Kind::Unverified:
        return tr("certificat du serveur accepté sans vérification (--tls-insecure) : SHA-256 %1").arg(notice.fingerprint);
    case ReplayNotice::Kind::Stopped:
        return stop(notice, server);
    }
    return QString();
}

QString ReplayText::stop(const ReplayNotice &notice, const QString &server)
{
    const QString where = notice.waiting ? tr(", en attendant la réponse à %1").arg(answerTo(notice.expected))
                                         : QString();
    switch (notice.stop) {
    case ReplayNotice::Stop::None:
        return tr("rejeu interrompu");
    case ReplayNotice::Stop::Timeout:
        return notice.waiting ? tr("rejeu arrêté : pas de réponse à %1 en %2 s").arg(answerTo(notice.expected)).arg(notice.seconds)
                              : tr("rejeu arrêté : le serveur %1 n'a pas répondu en %2 s").arg(server).arg(notice.seconds);
    case ReplayNotice::Stop::Closed:
        return tr("rejeu arrêté : le serveur a fermé la connexion avant la fin%1").arg(where);
    case ReplayNotice::Stop::Reset:
        return tr("rejeu arrêté : connexion réinitialisée par le serveur (%1)%2").arg(RowText::escaped(notice.reason), where);
    case ReplayNotice::Stop::Unreachable:
        return tr("rejeu impossible : serveur %1 injoignable (%2)")
            .arg(server, notice.cause.kind == FailureCause::Kind::None ? RowText::escaped(notice.reason)
                                                                       : ReasonText::describe(notice.cause, Side::Server));
    case ReplayNotice::Stop::TlsFailed:
        return tr("rejeu arrêté : échec TLS avec le serveur %1 : %2").arg(server, ReasonText::describe(notice.cause, Side::Server));
    case ReplayNotice::Stop::UpgradeRefused:
        return tr("rejeu arrêté : le serveur n'a pas accepté %1, et la suite de la session passait en TLS")
            .arg(answerTo(notice.expected));
    }
    return QString();
}

QString ReplayText::summary(int answers, int differences)
{
    return tr("rejeu : %1, %2")
        .arg(answers <= 1 ? tr("%1 réponse").arg(answers) : tr("%1 réponses").arg(answers),
             differences > 1 ? tr("%1 différentes").arg(differences) : tr("%1 différente").arg(differences));
}

QString ReplayText::unreadable(const QString &path, const QString &reason)
{
    return tr("--replay : « %1 » n'est pas une transcription lisible : %2").arg(path, reason);
}

QString ReplayText::problem(const ReplayScript::Problem &problem, const QString &path)
{
    using Kind = ReplayScript::Problem::Kind;
    switch (problem.kind) {
    case Kind::None:
        break;
    case Kind::NoSession:
        return tr("--replay : « %1 » ne contient aucune ligne de session à rejouer").arg(path);
    case Kind::SessionsUnnumbered:
        return tr("--replay : « %1 » contient %2 sessions l'une après l'autre, sans numéro : gardez les lignes "
                  "d'une seule dans un fichier")
            .arg(path)
            .arg(problem.count);
    case Kind::SessionNeeded:
        return tr("--replay : « %1 » contient les sessions %2 : choisissez-en une avec --session")
            .arg(path, numbers(problem.sessions));
    case Kind::SessionAbsent:
        return tr("--session : « %1 » ne contient pas cette session (sessions : %2)").arg(path, numbers(problem.sessions));
    case Kind::NumberNotInFile:
        return tr("--session : « %1 » contient une seule session, sans numéro : ne donnez pas --session").arg(path);
    case Kind::TlsUninspected:
        return tr("--replay : « %1 », ligne %2 : le TLS de cette session est passé sans être déchiffré ; la suite ne "
                  "peut pas être rejouée (enregistrez-la avec --inspect-tls)")
            .arg(path)
            .arg(problem.line);
    case Kind::TlsUnknown:
        return tr("--replay : « %1 », ligne %2 : marque TLS sans la façon dont TLS a commencé").arg(path).arg(problem.line);
    }
    return QString();
}
