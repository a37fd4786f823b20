#include "DisplayProbe.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpSocket>

namespace {

bool reachLocal(const QString &path, bool abstract, QString *error)
{
    QLocalSocket socket;
    if (abstract)
        socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    socket.connectToServer(path);
    if (socket.waitForConnected(DisplayProbe::TimeoutMs))
        return true;
    // Qt's own texts here name its function and call a missing socket an
    // "invalid name": the two usual cases are said plainly.
    switch (socket.error()) {
    case QLocalSocket::ServerNotFoundError:
        *error = QCoreApplication::translate("DisplayProbe", "pas de socket « %1 »").arg(path);
        break;
    case QLocalSocket::ConnectionRefusedError:
        *error = QCoreApplication::translate("DisplayProbe", "personne n'écoute sur « %1 »").arg(path);
        break;
    default:
        *error = socket.errorString();
        break;
    }
    return false;
}

// DISPLAY is [host]:number[.screen]; no host (or "unix") is the local socket
// of that number, any other host its TCP port 6000 + number.
bool reachX(const QString &display, QString *why)
{
    static const QRegularExpression form(QStringLiteral("^(.*):(\\d+)(\\.\\d+)?$"));
    const QRegularExpressionMatch parts = form.match(display);
    if (!parts.hasMatch()) {
        *why = QCoreApplication::translate("DisplayProbe", "DISPLAY « %1 » illisible").arg(display);
        return false;
    }
    const QString host = parts.captured(1);
    const int number = parts.captured(2).toInt();
    QString error;
    if (host.startsWith(QLatin1Char('/'))) {
        // A socket path given whole, as some X servers launched on demand do.
        if (reachLocal(host + QLatin1Char(':') + parts.captured(2), false, &error))
            return true;
    } else if (host.isEmpty() || host == QLatin1String("unix")) {
        // Servers listen in the abstract namespace, on a file, or both.
        const QString path = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
        if (reachLocal(path, true, &error) || reachLocal(path, false, &error))
            return true;
    } else {
        QTcpSocket socket;
        socket.connectToHost(host, quint16(6000 + number));
        if (socket.waitForConnected(DisplayProbe::TimeoutMs))
            return true;
        error = socket.errorString();
    }
    *why = QCoreApplication::translate("DisplayProbe", "serveur X de DISPLAY « %1 » injoignable : %2").arg(display, error);
    return false;
}

// WAYLAND_DISPLAY names a socket in XDG_RUNTIME_DIR, or gives its whole path.
bool reachWayland(const QString &display, QString *why)
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!QDir::isAbsolutePath(display) && runtime.isEmpty()) {
        *why = QCoreApplication::translate("DisplayProbe", "WAYLAND_DISPLAY « %1 » sans XDG_RUNTIME_DIR").arg(display);
        return false;
    }
    const QString path = QDir::isAbsolutePath(display) ? display : QDir(runtime).filePath(display);
    QString error;
    if (reachLocal(path, false, &error))
        return true;
    *why = QCoreApplication::translate("DisplayProbe", "serveur Wayland injoignable : %1").arg(error);
    return false;
}

} // namespace

namespace DisplayProbe {

bool canOpen(QString *why)
{
    // Qt tries the platforms listed, in order; one of ours must answer.
    const QString asked = qEnvironmentVariable("QT_QPA_PLATFORM").section(QLatin1Char(':'), 0, 0);
    QStringList platforms = asked.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    if (platforms.isEmpty())
        platforms = {QStringLiteral("wayland"), QStringLiteral("xcb")};
    QStringList tried;
    for (const QString &platform : std::as_const(platforms)) {
        QString failure;
        if (platform.startsWith(QLatin1String("wayland"))) {
            if (!qEnvironmentVariableIsEmpty("WAYLAND_SOCKET"))
                return true; // handed over already connected by whoever started us
            const QString display = qEnvironmentVariable("WAYLAND_DISPLAY");
            if (display.isEmpty() && !asked.isEmpty())
                failure = QCoreApplication::translate("DisplayProbe", "WAYLAND_DISPLAY vide");
            if (!display.isEmpty() && reachWayland(display, &failure))
                return true;
        } else if (platform == QLatin1String("xcb")) {
            const QString display = qEnvironmentVariable("DISPLAY");
            if (display.isEmpty() && !asked.isEmpty())
                failure = QCoreApplication::translate("DisplayProbe", "DISPLAY vide");
            if (!display.isEmpty() && reachX(display, &failure))
                return true;
        } else {
            // offscreen, vnc, eglfs…: drawing without a display server.
            return true;
        }
        if (!failure.isEmpty())
            tried.append(failure);
    }
    *why = tried.isEmpty() ? QCoreApplication::translate("DisplayProbe", "ni DISPLAY ni WAYLAND_DISPLAY") : tried.join(QStringLiteral(" ; "));
    return false;
}

} // namespace DisplayProbe
