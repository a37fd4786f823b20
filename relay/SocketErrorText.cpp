#include "SocketErrorText.h"

QString SocketErrorText::forListen(QAbstractSocket::SocketError error, quint16 port)
{
    switch (error) {
    case QAbstractSocket::AddressInUseError:
        return QStringLiteral("le port %1 est déjà utilisé par un autre programme").arg(port);
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("accès refusé au port %1 (un port inférieur à 1024 demande des "
                              "droits d'administrateur)")
            .arg(port);
    default:
        return QStringLiteral("impossible d'écouter sur le port %1").arg(port);
    }
}

QString SocketErrorText::forConnect(QAbstractSocket::SocketError error, const QString &qtText)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("connexion refusée par le serveur");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("hôte introuvable");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("le serveur ne répond pas (délai dépassé)");
    case QAbstractSocket::NetworkError:
        return QStringLiteral("réseau injoignable");
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("le serveur a fermé la connexion");
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("accès refusé");
    default:
        return QStringLiteral("échec de la connexion (%1)").arg(qtText);
    }
}
