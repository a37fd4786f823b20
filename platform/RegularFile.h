#ifndef DRAVLIN_REGULARFILE_H
#define DRAVLIN_REGULARFILE_H

#include <QCoreApplication>
#include <QFile>
#include <QString>

// A file opened to be read whole, a piece at a time, when it is an ordinary
// file of at most a given size. Anything else (a FIFO, a device, a socket, a
// folder) is refused before it is opened, so that a path handed over by a
// user can never block the program in open() or read() nor feed it without
// end; what is opened is looked at again, in case the path changed between.
class RegularFile
{
    Q_DECLARE_TR_FUNCTIONS(RegularFile)

public:
    // The largest file read, 1 GiB: what a saved conversation held in memory
    // can reasonably take.
    static constexpr qint64 DefaultLimit = qint64{1} << 30;

    // How a system error is worded: the caller's table, in French, rather
    // than the system's own sentence; before open().
    using SystemWording = QString (*)(int systemError);
    void setSystemWording(SystemWording wording) { m_wording = wording; }

    // False with a French reason naming the path.
    bool open(const QString &path, qint64 limit = DefaultLimit);
    // The next piece of at most maxBytes; empty at the end. The file's size
    // when opened bounds what is read, should it grow meanwhile. Sets the
    // reason and returns false when reading fails.
    bool read(qsizetype maxBytes, QByteArray *piece);

    QString errorString() const { return m_error; }
    qint64 size() const { return m_size; }
    qint64 position() const { return m_read; }
    qint64 lastModifiedMsecs() const { return m_modifiedMsecs; }

private:
    bool refuse(const QString &path, const QString &why);
    QString systemReason(int error) const;

    QFile m_file;
    QString m_path;
    QString m_error;
    SystemWording m_wording = nullptr;
    qint64 m_size = 0;
    qint64 m_read = 0;
    qint64 m_modifiedMsecs = 0;
};

#endif
