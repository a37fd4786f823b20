#ifndef DRAVLIN_SYSTEMFILE_H
#define DRAVLIN_SYSTEMFILE_H

#include <QFile>

// A file written straight to its descriptor, which keeps the system's error
// number when a write fails: QFile keeps only the system's English sentence,
// and a full disk must be told as one in the user's language.
class SystemFile : public QFile
{
    Q_OBJECT

public:
    using QFile::QFile;

    // errno of the last failure, 0 when none or when it was not the system's.
    int systemError() const { return m_systemError; }

protected:
    qint64 writeData(const char *data, qint64 size) override;
    // Records errno and returns false, for a subclass's own system calls.
    bool failedWith(int systemError);
    void clearSystemError() { m_systemError = 0; }

private:
    int m_systemError = 0;
};

#endif
