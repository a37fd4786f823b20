#ifndef DRAVLIN_OWNERONLYFILES_H
#define DRAVLIN_OWNERONLYFILES_H

#include <QString>

class QFile;

// Files and folders that may hold what TLS hid (passwords, the CA's key):
// their owner's alone, and never reached through a symbolic link planted in
// their place, which would have us write, or narrow, a file we never named.
namespace OwnerOnlyFiles {

// Opens path to be written from its start, for a file written as it goes
// (a capture). A new file is made with mode 0600; an older regular file of
// that name is emptied and narrowed to 0600; a pipe or device is written as
// it is. A symbolic link is refused, never followed (ELOOP). False with the
// system's *systemError when it cannot be.
bool openForWriting(QFile *file, const QString &path, int *systemError);

// Makes path and any missing parent folder, the last one for its owner only
// (mode 0700). False with the system's *reason.
bool makeFolder(const QString &path, QString *reason);

// "" when the current user can list, enter and write in the folder; else
// the system's reason.
QString folderProblem(const QString &path);

// Whether the current user owns what path names (a link itself, not followed).
bool isOwnedByCurrentUser(const QString &path);

} // namespace OwnerOnlyFiles

#endif
