// Opening file specifications, record locks, exclusive creation, sizes and
// temporary files.
#include "qelFileOpenInternal.h"

#include "qelContextInternal.h"
#include "qelFileObjectInternal.h"
#include "qelFileSpecInternal.h"
#include "qelIOInternal.h"
#include "qelMemoryInternal.h"
#include "qelWipe.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Owner-only for everything but class 0. The bits are applied through the
// mode argument of open(2), on top of the process umask, which is never
// changed: changing it would affect files other threads create meanwhile.
constexpr std::array<mode_t, QELFileClassCount> kClassMasks = {
    0, 077, 077, 077, 077, 077, 077, 077, 077, 077, 077, 077, 077,
};

bool classMask(int fileClass, mode_t *outMask)
{
    if (fileClass < 0 || fileClass >= QELFileClassCount)
        return false;
    *outMask = kClassMasks[static_cast<std::size_t>(fileClass)];
    return true;
}

struct OpenMode {
    std::uint16_t flags;
    const char *mode;
    int openFlags;
};

constexpr OpenMode kOpenModes[] = {
    {1, "r", O_RDONLY},
    {3, "r+", O_RDWR},
    {22, "a", O_WRONLY | O_CREAT | O_APPEND},
    {23, "a+", O_RDWR | O_CREAT | O_APPEND},
    {26, "w", O_WRONLY | O_CREAT | O_TRUNC},
    {27, "w+", O_RDWR | O_CREAT | O_TRUNC},
};

const OpenMode *findMode(std::uint16_t flags)
{
    std::uint16_t masked = flags & 0xF81F;
    for (const OpenMode &m : kOpenModes)
        if (m.flags == masked)
            return &m;
    return nullptr;
}

QELStatus openErrorStatus(int err, QELStatus other)
{
    if (err == EROFS || err == EACCES)
        return QELError_FilePermissions;
    if (err == ENOENT)
        return QELError_FileNotFound;
    return other;
}

struct PathCopy {
    char *path = nullptr;
    ~PathCopy()
    {
        if (path != nullptr)
            static_cast<void>(qelMemFree(path));
    }
};

} // namespace

QELStatus qelFileSpecOpenFile(const QELFileSpec *spec, std::uint16_t flags, int fileClass,
                              std::FILE **outStream)
{
    if (outStream == nullptr)
        return QELError_BadParams;
    *outStream = nullptr;
    const OpenMode *m = findMode(flags);
    mode_t mask = 0;
    if (m == nullptr || !classMask(fileClass, &mask))
        return QELError_BadParams;
    std::string mode = m->mode;
    if (!(flags & QELOpen_Text))
        mode += 'b';
    PathCopy path;
    QELStatus status = qelFileSpecGetPath(spec, &path.path);
    if (status != 0)
        return status;
    int fd = ::open(path.path, m->openFlags | O_CLOEXEC, 0666 & ~mask);
    if (fd < 0)
        return openErrorStatus(errno, QELError_CantOpenFile);
    std::FILE *stream = ::fdopen(fd, mode.c_str());
    if (stream == nullptr) {
        int err = errno;
        ::close(fd);
        return openErrorStatus(err, QELError_CantOpenFile);
    }
    if (flags & QELOpen_Lock) {
        status = qelFileLock(stream, (flags & QELOpen_Write) ? 3 : 2);
        if (status != 0) {
            std::fclose(stream);
            return status;
        }
    }
    *outStream = stream;
    return 0;
}

QELStatus qelFileSpecFOpen(const QELFileSpec *spec, const char *mode, std::FILE **outStream)
{
    if (outStream == nullptr)
        return QELError_BadParams;
    *outStream = nullptr;
    if (!qelFileSpecIsValid(spec) || mode == nullptr ||
        spec->kind != QELFileSpecKind_UnixPath)
        return QELError_BadParams;
    PathCopy path;
    QELStatus status = qelFileSpecGetPath(spec, &path.path);
    if (status != 0)
        return status;
    std::FILE *stream = std::fopen(path.path, mode);
    if (stream == nullptr)
        return openErrorStatus(errno, QELError_FileOpFailed);
    *outStream = stream;
    return 0;
}

QELStatus qelFileClose(std::FILE *stream)
{
    if (stream == nullptr)
        return QELError_BadParams;
    return std::fclose(stream) == 0 ? 0 : QELError_FileOpFailed;
}

QELStatus qelFileLock(std::FILE *stream, std::uint32_t flags)
{
    if (stream == nullptr)
        return QELError_BadParams;
    struct flock lock {};
    lock.l_type = (flags & 1) ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (::fcntl(::fileno(stream), F_SETLK, &lock) == 0)
        return 0;
    int err = errno;
    if (err == EAGAIN || err == EACCES)
        return QELError_FileLocked;
    if (err == ENOENT)
        return QELError_FileNotFound;
    return QELError_FileOpFailed;
}

QELStatus qelFileSpecOpenIO(const QELFileSpec *spec, std::uint32_t flags, QELIO **outIO)
{
    if (outIO == nullptr)
        return QELError_BadParams;
    *outIO = nullptr;
    if (!qelFileSpecIsValid(spec) || flags >= 4)
        return QELError_BadParams;
    std::FILE *stream = nullptr;
    QELStatus status = qelFileSpecFOpen(spec, (flags & 1) ? "r+b" : "rb", &stream);
    if (status != 0)
        return status;
    if (flags & 2) {
        status = qelFileLock(stream, flags);
        if (status != 0) {
            std::fclose(stream);
            return status;
        }
    }
    status = qelStdioIONew(spec->memMgr, stream, 1, outIO);
    if (status != 0 && *outIO == nullptr)
        std::fclose(stream);
    return status;
}

// Only read-only and write-only objects exist; anything else is refused
// before the file is touched, so that a combination such as "w+" does not
// truncate a file it then fails to return.
QELFileObject *qelFileSpecOpenFileObj(QELContext *context, const QELFileSpec *spec,
                                      std::uint16_t flags, int fileClass, QELStatus *outStatus)
{
    QELStatus ignored = 0;
    if (outStatus == nullptr)
        outStatus = &ignored;
    *outStatus = 0;
    std::uint16_t direction = flags & (QELOpen_Read | QELOpen_Write);
    if (direction != QELOpen_Read && direction != QELOpen_Write) {
        *outStatus = QELError_BadParams;
        return nullptr;
    }
    std::FILE *stream = nullptr;
    *outStatus = qelFileSpecOpenFile(spec, flags, fileClass, &stream);
    if (stream == nullptr)
        return nullptr;
    QELFileObject *file = direction == QELOpen_Read ? qelFileObjOpenRead(context, stream)
                                                    : qelFileObjOpenWrite(context, stream);
    if (file == nullptr) {
        std::fclose(stream);
        *outStatus = QELError_OutOfMemory;
    }
    return file;
}

QELFileReadModule *qelFileSpecOpenReadModule(QELContext *context, const QELFileSpec *spec,
                                             std::uint16_t flags, QELStatus *outStatus,
                                             std::int32_t *outWord)
{
    if (outWord != nullptr)
        *outWord = 0;
    QELStatus ignored = 0;
    if (outStatus == nullptr)
        outStatus = &ignored;
    QELFileObject *file =
        qelFileSpecOpenFileObj(context, spec, flags, QELFileClass_Default, outStatus);
    if (file == nullptr)
        return nullptr;
    QELFileReadModule *module = qelFileReadModuleCreate(context, file, 1);
    if (module == nullptr) {
        file->close(file);
        *outStatus = QELError_OutOfMemory;
    }
    return module;
}

QELStatus qelFileSpecCreateExclusive(const QELFileSpec *spec, int fileClass)
{
    mode_t mask = 0;
    if (!qelFileSpecIsValid(spec) || !classMask(fileClass, &mask))
        return QELError_BadParams;
    PathCopy path;
    QELStatus status = qelFileSpecGetPath(spec, &path.path);
    if (status != 0)
        return status;
    int fd = ::open(path.path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666 & ~mask);
    if (fd < 0)
        return QELError_CantOpenFile;
    ::close(fd);
    return 0;
}

QELStatus qelFileSpecGetSize(const QELFileSpec *spec, std::int64_t *outSize)
{
    if (outSize == nullptr || !qelFileSpecIsValid(spec))
        return QELError_BadParams;
    *outSize = 0;
    PathCopy path;
    QELStatus status = qelFileSpecGetPath(spec, &path.path);
    if (status != 0)
        return status;
    struct stat st {};
    if (::stat(path.path, &st) != 0)
        return QELError_CantOpenFile;
    if (S_ISREG(st.st_mode))
        *outSize = st.st_size;
    return 0;
}

namespace {

// "TMP" (an empty value counts as unset), else "/tmp/", with the template
// appended; mkstemp replaces the X characters.
std::string tempTemplate()
{
    const char *dir = std::getenv("TMP");
    std::string path = (dir != nullptr && *dir != '\0') ? dir : "/tmp/";
    if (path.back() != '/')
        path += '/';
    path += "ptmpXXXXXX";
    return path;
}

} // namespace

std::FILE *qelFileSpecCreateTemp(QELContext *context, QELFileSpec **outSpec,
                                 QELStatus *outStatus)
{
    QELStatus ignored = 0;
    if (outStatus == nullptr)
        outStatus = &ignored;
    *outStatus = 0;
    if (outSpec == nullptr) {
        *outStatus = QELError_BadParams;
        return nullptr;
    }
    *outSpec = nullptr;
    std::string tmpl = tempTemplate();
    auto *buffer = static_cast<char *>(qelContextMemAlloc(context, tmpl.size() + 1, 0));
    if (buffer == nullptr) {
        *outStatus = QELError_CantOpenFile;
        return nullptr;
    }
    std::memcpy(buffer, tmpl.c_str(), tmpl.size() + 1);
    auto fail = [&](QELStatus status) -> std::FILE * {
        static_cast<void>(qelContextMemFree(context, buffer));
        *outStatus = status;
        return nullptr;
    };
    int fd = ::mkstemp(buffer);
    if (fd < 0)
        return fail(QELError_CantOpenFile);
    std::FILE *stream = ::fdopen(fd, "w+b");
    if (stream == nullptr) {
        ::close(fd);
        ::unlink(buffer);
        return fail(QELError_CantOpenFile);
    }
    QELStatus status = qelFileSpecNewFromPath(qelContextGetMemoryMgr(context), buffer, outSpec);
    if (status != 0) {
        std::fclose(stream);
        ::unlink(buffer);
        return fail(status);
    }
    static_cast<void>(qelContextMemFree(context, buffer));
    return stream;
}

QELStatus qelFileSpecNewTempName(QELMemoryMgr *mgr, const QELFileSpec *spec,
                                 QELFileSpec **outSpec)
{
    if (outSpec == nullptr)
        return QELError_BadParams;
    *outSpec = nullptr;
    if (spec != nullptr && !qelFileSpecIsValid(spec))
        return QELError_BadParams;
    std::string tmpl = tempTemplate();
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0)
        return QELError_FileOpFailed;
    ::close(fd);
    QELStatus status = qelFileSpecNewFromPath(mgr, tmpl.c_str(), outSpec);
    if (status != 0)
        ::unlink(tmpl.c_str());
    return status;
}
