#ifndef DRAVLIN_CACERTIFICATEEXPORT_H
#define DRAVLIN_CACERTIFICATEEXPORT_H

#include <QObject>
#include <QString>

class QWidget;

// Hands out the certificate of Dravlin's own authority, for the user to make
// the client trust it when TLS is deciphered. The authority is made on first
// use, in the folder TLS is set up with.
class CaCertificateExport : public QObject
{
    Q_OBJECT

public:
    explicit CaCertificateExport(QWidget *window);

    // Empty for the authority's usual folder.
    void setDirectory(const QString &directory) { m_directory = directory; }
    // Writes the certificate (PEM).
    bool exportTo(const QString &path);

public Q_SLOTS:
    // Asks for the path first; a cancelled dialog does nothing.
    void chooseAndExport();

Q_SIGNALS:
    void failed(const QString &message);
    // Worded for the status line and the event history.
    void exported(const QString &message);

private:
    QWidget *m_window;
    QString m_directory;
};

#endif
