// The log file on POSIX systems: O_APPEND writes, and inotify to notice a
// rotation without looking the path up for every line.
#include "diag/logfile_p.h"

#include <QFile>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Each line is one write() with O_APPEND, so the file on disk is complete after
// every line without opening it each time.
struct OpenLog
{
    int fd = -1;
    QString sPath; // the path fd was opened under
    QByteArray encodedPath;
    dev_t device = 0;
    ino_t inode = 0;
    // The kernel reports a move, removal or link-count change of the open file
    // here, so that a line needs no look-up of the path to know it is still
    // the right file. -1 where inotify is not available: then every line
    // compares the path's file with the open one.
    int iNotify = -1;
    int iWatch = -1;
};

// Never destroyed, so that messages logged during process exit still work.
OpenLog& openLog()
{
    static OpenLog* s_pOpen = new OpenLog;
    return *s_pOpen;
}

QString systemError(const QString& sPath)
{
    return QStringLiteral("%1: %2").arg(sPath, QString::fromLocal8Bit(std::strerror(errno)));
}

// True when the watch has reported something since the last call; reads the
// reports so that the next call starts afresh.
bool drainNotifications(const OpenLog& o)
{
    int nPending = 0;
    if (::ioctl(o.iNotify, FIONREAD, &nPending) != 0)
        return true;
    if (nPending <= 0)
        return false;
    char acEvents[4096];
    while (::read(o.iNotify, acEvents, sizeof acEvents) > 0) {
    }
    return true;
}

// Returns the open descriptor or -1 with sError set.
int openRegular(const QString& sPath, QString& sError)
{
    const QByteArray path = QFile::encodeName(sPath);
    const int iFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_CREAT;
    int fd;
    do {
        fd = ::open(path.constData(), iFlags, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        sError = errno == ELOOP ? QStringLiteral("%1 is a symbolic link, not followed").arg(sPath)
                                : systemError(sPath);
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        sError = QStringLiteral("%1 is not a regular file, nothing written to it").arg(sPath);
        return -1;
    }
    return fd;
}

void keepOpen(OpenLog& o, int fd, const QString& sPath)
{
    struct stat st;
    o.fd = fd;
    o.sPath = sPath;
    o.encodedPath = QFile::encodeName(sPath);
    o.device = 0;
    o.inode = 0;
    if (::fstat(fd, &st) == 0) {
        o.device = st.st_dev;
        o.inode = st.st_ino;
    }
    if (o.iNotify < 0)
        o.iNotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (o.iNotify >= 0) {
        o.iWatch = ::inotify_add_watch(o.iNotify, o.encodedPath.constData(),
                                       IN_MOVE_SELF | IN_DELETE_SELF | IN_ATTRIB | IN_DONT_FOLLOW);
        // Reports about an earlier file must not count for this one.
        drainNotifications(o);
        // A file swapped in between the open and the watch: the watch is on
        // that one, so the path is compared on every line instead.
        struct stat now;
        if (o.iWatch >= 0 && (::lstat(o.encodedPath.constData(), &now) != 0 || now.st_dev != o.device ||
                              now.st_ino != o.inode)) {
            ::inotify_rm_watch(o.iNotify, o.iWatch);
            o.iWatch = -1;
        }
    }
}

} // namespace

namespace logfile {

bool open(const QString& sPath, bool bFresh, QString& sError)
{
    close();
    const int fd = openRegular(sPath, sError);
    if (fd < 0)
        return false;
    // Truncated only once it is known to be a regular file; owner-only even
    // when an earlier run left it readable by others.
    if (bFresh && (::ftruncate(fd, 0) != 0 || ::fchmod(fd, 0600) != 0)) {
        sError = systemError(sPath);
        ::close(fd);
        return false;
    }
    keepOpen(openLog(), fd, sPath);
    return true;
}

bool isOpenAt(const QString& sPath)
{
    const OpenLog& o = openLog();
    if (o.fd < 0 || o.sPath != sPath)
        return false;
    if (o.iWatch >= 0 && !drainNotifications(o))
        return true;
    struct stat st;
    if (::lstat(o.encodedPath.constData(), &st) != 0)
        return false;
    return st.st_dev == o.device && st.st_ino == o.inode;
}

void close()
{
    OpenLog& o = openLog();
    if (o.iWatch >= 0)
        ::inotify_rm_watch(o.iNotify, o.iWatch);
    o.iWatch = -1;
    if (o.fd >= 0)
        ::close(o.fd);
    o.fd = -1;
    o.sPath.clear();
}

bool write(const QByteArray& bytes, QString& sError)
{
    const int fd = openLog().fd;
    const char* p = bytes.constData();
    qint64 nLeft = bytes.size();
    while (nLeft > 0) {
        const ssize_t n = ::write(fd, p, size_t(nLeft));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            sError = QString::fromLocal8Bit(std::strerror(n < 0 ? errno : EIO));
            return false;
        }
        p += n;
        nLeft -= n;
    }
    return true;
}

} // namespace logfile
