// Reads a capture back with the real packet analyser, as a user would check it.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

struct TcpStream {
    QByteArray fromClient;
    QByteArray fromServer;
    QString clientNode; // "127.0.0.1:40112", as tshark names it
    QString serverNode;
};

inline QString tsharkPath() { return QStandardPaths::findExecutable(QStringLiteral("tshark")); }

// Stream `index` of the capture, each direction's payload as tshark
// reassembles it; false when tshark fails or finds no such stream.
inline bool followStream(const QString &capture, int index, TcpStream *stream)
{
    QProcess tshark;
    tshark.start(tsharkPath(), {QStringLiteral("-r"), capture, QStringLiteral("-q"), QStringLiteral("-z"),
                                QStringLiteral("follow,tcp,raw,%1").arg(index)});
    if (!tshark.waitForFinished(60000) || tshark.exitCode() != 0)
        return false;
    bool inData = false;
    *stream = TcpStream();
    for (const QByteArray &line : tshark.readAllStandardOutput().split('\n')) {
        if (line.startsWith("Node 0: "))
            stream->clientNode = QString::fromLatin1(line.mid(8).trimmed());
        else if (line.startsWith("Node 1: "))
            stream->serverNode = QString::fromLatin1(line.mid(8).trimmed()), inData = true;
        else if (line.startsWith("====="))
            inData = false;
        else if (inData && line.startsWith('\t'))
            stream->fromServer += QByteArray::fromHex(line.trimmed());
        else if (inData && !line.isEmpty())
            stream->fromClient += QByteArray::fromHex(line.trimmed());
    }
    return !stream->clientNode.isEmpty() && !stream->clientNode.startsWith(QLatin1Char(':'));
}
