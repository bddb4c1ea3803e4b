#include "base/RenameNoReplace.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

bool renameNoReplace(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;
    // link(2) never follows a link at `from` and fails just the same on EEXIST.
    if (::link(from.constData(), to.constData()) != 0) return false;
    if (::unlink(from.constData()) == 0) return true;
    // Both names would stay: the new one goes again, so that nothing has changed.
    const int error = errno;
    ::unlink(to.constData());
    errno = error;
    return false;
}
