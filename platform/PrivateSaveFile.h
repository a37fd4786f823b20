#ifndef DRAVLIN_PRIVATESAVEFILE_H
#define DRAVLIN_PRIVATESAVEFILE_H

#include "SystemFile.h"

#include <QString>

// Saves a file whole or not at all, for its owner only: the bytes go to a new
// file of mode 0600 beside path, which commit() renames over path. A reader
// sees the old file or the whole new one.
//
// QSaveFile would do the same but follows a symbolic link at path and writes
// over the link's target; here the link itself is replaced by the new file
// and its target is never opened. An older file of that name is replaced
// too, so it keeps neither its mode nor its other names (hard links).
class PrivateSaveFile : public SystemFile
{
    Q_OBJECT

public:
    explicit PrivateSaveFile(const QString &path, QObject *parent = nullptr);
    ~PrivateSaveFile() override;

    // Only QIODevice::WriteOnly (Truncate allowed) makes sense here.
    bool open(OpenMode mode) override;
    // Writes what is left to the disk and puts the file in place. False, with
    // errorString() and, when the system refused, systemError(), when nothing
    // has replaced path.
    bool commit();
    QString path() const { return m_path; }

private:
    bool fail(const QString &reason, int systemError = 0);
    void discard();

    const QString m_path;
    QString m_temporary;
};

#endif
