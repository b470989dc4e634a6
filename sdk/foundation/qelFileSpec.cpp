// File specifications of kind 14 (Unix full paths) and the kind-independent
// operations that reach them through the kind's operation table.
#include "qelFileSpecInternal.h"

#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelMemoryInternal.h"
#include "qelUtilitiesInternal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

struct QELDirIter {
    QELMemoryMgr *memMgr;
    DIR *dir;
    QELFileSpec *dirSpec;
};

namespace {

const char *pathOf(const QELFileSpec *spec)
{
    return static_cast<const char *>(spec->data);
}

bool hasPath(const QELFileSpec *spec)
{
    return spec->data != nullptr && spec->dataSize != 0;
}

// Length of the directory part, up to and including the last "/".
std::size_t dirPartLength(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
}

// A copy of the string (with its NUL) in a block of the manager; null when
// memory fails.
char *copyString(QELMemoryMgr *mgr, const char *string)
{
    std::size_t size = std::strlen(string) + 1;
    auto *copy = static_cast<char *>(qelMemAlloc(mgr, size, 0));
    if (copy != nullptr)
        std::memcpy(copy, string, size);
    return copy;
}

// Resizes the spec's data to size bytes and puts count bytes there from
// offset on (what lies before offset stays); on failure nothing changes.
QELStatus storeData(QELFileSpec *spec, std::size_t size, std::size_t offset, const void *bytes,
                    std::size_t count)
{
    void *data = spec->data;
    QELStatus status = qelMemRealloc(spec->memMgr, &data, size, 0);
    if (status != 0)
        return status;
    std::memcpy(static_cast<char *>(data) + offset, bytes, count);
    spec->data = data;
    spec->dataSize = static_cast<std::uint32_t>(size);
    return 0;
}

QELStatus newPathSpec(QELMemoryMgr *mgr, const char *path, std::size_t length,
                      QELFileSpec **outSpec)
{
    *outSpec = nullptr;
    if (length + 1 > UINT32_MAX)
        return QELError_BadParams;
    QELFileSpec *spec = nullptr;
    QELStatus status = qelFileSpecNew(mgr, QELFileSpecKind_UnixPath,
                                      static_cast<std::uint32_t>(length + 1), &spec);
    if (status != 0)
        return status;
    std::memcpy(spec->data, path, length);
    static_cast<char *>(spec->data)[length] = '\0';
    *outSpec = spec;
    return 0;
}

// --- kind 14 operations -------------------------------------------------

QELStatus unixExportData(const QELFileSpec *spec, std::uint8_t **outBytes,
                         std::uint32_t *outLength)
{
    *outBytes = nullptr;
    *outLength = 0;
    if (!hasPath(spec))
        return QELError_BadParams;
    *outLength = static_cast<std::uint32_t>(std::strlen(pathOf(spec)) + 1);
    *outBytes = reinterpret_cast<std::uint8_t *>(copyString(spec->memMgr, pathOf(spec)));
    return *outBytes != nullptr ? 0 : QELError_OutOfMemory;
}

// The kind data is the path with its NUL; nothing may follow the NUL's place.
QELStatus unixImportData(QELFileSpec *spec, const std::uint8_t *bytes, std::uint32_t length)
{
    qel::ByteCursor in(bytes, length);
    std::span<const std::uint8_t> path;
    if (length == 0 || !in.bytes(length, path) || path.back() != 0 ||
        // One terminating NUL and no other: a name cut at an embedded NUL
        // would name another file than the bytes spell.
        std::memchr(path.data(), 0, length - 1) != nullptr)
        return QELError_BadParams;
    return storeData(spec, length, 0, path.data(), length);
}

// Two spellings name the same file when they lead to the same device and
// inode; the rest of a status record (times, link counts) says nothing about
// identity and may change between the two calls.
bool unixEqual(const QELFileSpec *spec, const QELFileSpec *other)
{
    if (!hasPath(spec) || !hasPath(other))
        return false;
    if (std::strcmp(pathOf(spec), pathOf(other)) == 0)
        return true;
    struct stat a {};
    struct stat b {};
    if (::stat(pathOf(spec), &a) != 0 || ::stat(pathOf(other), &b) != 0)
        return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

QELStatus unixGetName(const QELFileSpec *spec, char outName[QELFileSpecNameBufferSize])
{
    outName[0] = '\0';
    if (!hasPath(spec))
        return QELError_BadParams;
    const char *name = qelPathNamePart(pathOf(spec));
    std::size_t length = std::strlen(name);
    if (length > QELFileSpecNameBufferSize - 1)
        return QELError_BadParams;
    std::memcpy(outName, name, length + 1);
    return 0;
}

// The spec's path with its name part replaced, in a new block of the spec's
// manager (with its NUL); *outSize is the block's size.
QELStatus renamedPath(const QELFileSpec *spec, const char *name, char **outPath,
                      std::size_t *outSize)
{
    *outPath = nullptr;
    *outSize = 0;
    std::size_t dirLength = dirPartLength(pathOf(spec));
    std::size_t nameLength = std::strlen(name);
    std::size_t newSize = dirLength + nameLength + 1;
    if (newSize > UINT32_MAX)
        return QELError_BadParams;
    auto *path = static_cast<char *>(qelMemAlloc(spec->memMgr, newSize, 0));
    if (path == nullptr)
        return QELError_OutOfMemory;
    std::memcpy(path, pathOf(spec), dirLength);
    std::memcpy(path + dirLength, name, nameLength + 1);
    *outPath = path;
    *outSize = newSize;
    return 0;
}

// Makes the block from renamedPath the spec's path.
void adoptPath(QELFileSpec *spec, char *path, std::size_t size)
{
    static_cast<void>(qelMemFree(spec->data));  // the spec's own block
    spec->data = path;
    spec->dataSize = static_cast<std::uint32_t>(size);
}

QELStatus unixSetName(QELFileSpec *spec, const char *name)
{
    if (!qelFileSpecIsValid(spec) || !hasPath(spec) || name == nullptr)
        return QELError_BadParams;
    char *path = nullptr;
    std::size_t size = 0;
    if (QELStatus status = renamedPath(spec, name, &path, &size); status != 0)
        return status;
    adoptPath(spec, path, size);
    return 0;
}

QELStatus unixSetMetadata(QELFileSpec *, std::uint32_t, std::uint32_t, std::uint32_t,
                          std::uint32_t, std::uint32_t)
{
    return 0;
}

QELStatus unixExists(const QELFileSpec *spec, std::uint8_t *outExists)
{
    *outExists = 0;
    if (!hasPath(spec))
        return QELError_BadParams;
    errno = 0;
    std::FILE *f = std::fopen(pathOf(spec), "rb");
    if (f != nullptr) {
        std::fclose(f);
        *outExists = 1;
        return 0;
    }
    int err = errno;
    if (err == EACCES) {
        *outExists = 1;
        return 0;
    }
    if (err == ENOENT || err == EAGAIN || err == 0)
        return 0;
    return QELError_CantOpenFile;
}

QELStatus unixCreate(const QELFileSpec *spec)
{
    if (!hasPath(spec))
        return QELError_BadParams;
    int fd = ::open(pathOf(spec), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return QELError_FileOpFailed;
    ::close(fd);
    return 0;
}

QELStatus unixDelete(const QELFileSpec *spec)
{
    if (!hasPath(spec))
        return QELError_BadParams;
    return std::remove(pathOf(spec)) == 0 ? 0 : QELError_FileOpFailed;
}

// The new path is made in a block of its own before the file moves, and
// becomes the spec's only after the move: no step after the move can fail,
// so a failed rename leaves the file and the spec as they were, and a
// successful one always leaves the spec naming the file.
QELStatus unixRename(QELFileSpec *spec, const char *newName)
{
    if (!qelFileSpecIsValid(spec) || !hasPath(spec) || newName == nullptr)
        return QELError_BadParams;
    char *newPath = nullptr;
    std::size_t newSize = 0;
    if (QELStatus status = renamedPath(spec, newName, &newPath, &newSize); status != 0)
        return status;
    if (std::rename(pathOf(spec), newPath) != 0) {
        static_cast<void>(qelMemFree(newPath));  // our own block
        return QELError_FileOpFailed;
    }
    adoptPath(spec, newPath, newSize);
    return 0;
}

QELStatus unixMaxNameLength(const QELFileSpec *spec, std::uint32_t *outLength)
{
    *outLength = 0;
    if (!hasPath(spec))
        return QELError_BadParams;
    *outLength = 255;
    return 0;
}

QELStatus unixParent(const QELFileSpec *spec, QELFileSpec **outParent)
{
    *outParent = nullptr;
    if (qelMemMgrIsValid(spec->memMgr) != 0 || !hasPath(spec))
        return QELError_BadParams;
    const char *path = pathOf(spec);
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr || slash == path)
        return QELError_FileNotFound;
    return newPathSpec(spec->memMgr, path, static_cast<std::size_t>(slash - path), outParent);
}

QELStatus unixChild(const QELFileSpec *spec, const char *name, QELFileSpec **outChild)
{
    if (outChild == nullptr)
        return QELError_BadParams;
    *outChild = nullptr;
    if (qelMemMgrIsValid(spec->memMgr) != 0 || !hasPath(spec) || name == nullptr)
        return QELError_BadParams;
    const char *path = pathOf(spec);
    std::size_t dirLength = std::strlen(path);
    if (dirLength > 0 && path[dirLength - 1] == '/')
        --dirLength;
    std::size_t nameLength = std::strlen(name);
    std::size_t total = dirLength + 1 + nameLength;
    if (total + 1 > UINT32_MAX)
        return QELError_BadParams;
    QELFileSpec *child = nullptr;
    QELStatus status = qelFileSpecNew(spec->memMgr, QELFileSpecKind_UnixPath,
                                      static_cast<std::uint32_t>(total + 1), &child);
    if (status != 0)
        return status;
    char *out = static_cast<char *>(child->data);
    std::memcpy(out, path, dirLength);
    out[dirLength] = '/';
    std::memcpy(out + dirLength + 1, name, nameLength + 1);
    *outChild = child;
    return 0;
}

constexpr QELFileSpecOps kUnixPathOps = {
    unixExportData, unixImportData, unixEqual,      unixGetName,       unixSetName,
    unixSetMetadata, unixExists,    unixCreate,     unixDelete,        unixRename,
    unixMaxNameLength, unixParent,  unixChild,
};

bool isKind14(const QELFileSpec *spec)
{
    return spec->kind == QELFileSpecKind_UnixPath && hasPath(spec);
}

} // namespace

// --- records -------------------------------------------------------------

bool qelFileSpecIsValid(const void *spec)
{
    return spec != nullptr && static_cast<const QELFileSpec *>(spec)->magic == QELFileSpecMagic;
}

const QELFileSpecOps *qelFileSpecOpsForKind(std::int32_t kind)
{
    return kind == QELFileSpecKind_UnixPath ? &kUnixPathOps : nullptr;
}

QELStatus qelFileSpecNew(QELMemoryMgr *mgr, std::int32_t kind, std::uint32_t dataSize,
                         QELFileSpec **outSpec)
{
    if (outSpec == nullptr)
        return QELError_BadParams;
    *outSpec = nullptr;
    auto *spec = static_cast<QELFileSpec *>(qelMemAlloc(mgr, sizeof(QELFileSpec), QELMemFlag_Clear));
    if (spec == nullptr)
        return QELError_OutOfMemory;
    spec->magic = QELFileSpecMagic;
    spec->memMgr = mgr;
    spec->kind = kind;
    spec->dataSize = dataSize;
    spec->ops = qelFileSpecOpsForKind(kind);
    if (dataSize != 0) {
        spec->data = qelMemAlloc(mgr, dataSize, QELMemFlag_Clear);
        if (spec->data == nullptr) {
            spec->magic = 0;
            static_cast<void>(qelMemFree(spec));
            return QELError_OutOfMemory;
        }
    }
    *outSpec = spec;
    return 0;
}

QELStatus qelFileSpecNewFromPath(QELMemoryMgr *mgr, const char *path, QELFileSpec **outSpec)
{
    if (outSpec == nullptr)
        return QELError_BadParams;
    *outSpec = nullptr;
    if (path == nullptr || qelMemMgrIsValid(mgr) != 0)
        return QELError_BadParams;
    return newPathSpec(mgr, path, std::strlen(path), outSpec);
}

QELStatus qelFileSpecCopy(const QELFileSpec *spec, QELFileSpec **outCopy)
{
    if (outCopy == nullptr)
        return QELError_BadParams;
    *outCopy = nullptr;
    if (!qelFileSpecIsValid(spec))
        return QELError_BadParams;
    QELFileSpec *copy = nullptr;
    QELStatus status = qelFileSpecNew(spec->memMgr, spec->kind, spec->dataSize, &copy);
    if (status != 0)
        return status;
    copy->ops = spec->ops;
    if (spec->dataSize != 0 && spec->data != nullptr)
        std::memcpy(copy->data, spec->data, spec->dataSize);
    *outCopy = copy;
    return 0;
}

QELStatus qelFileSpecFree(QELFileSpec *spec)
{
    if (!qelFileSpecIsValid(spec))
        return QELError_BadParams;
    if (spec->data != nullptr)
        static_cast<void>(qelMemFree(spec->data));
    spec->data = nullptr;
    spec->magic = 0;
    static_cast<void>(qelMemFree(spec));
    return 0;
}

QELMemoryMgr *qelFileSpecGetMemoryMgr(const QELFileSpec *spec)
{
    return qelFileSpecIsValid(spec) ? spec->memMgr : nullptr;
}

// --- flattening ------------------------------------------------------------

QELStatus qelFileSpecExport(const QELFileSpec *spec, std::uint8_t **outBytes,
                            std::uint32_t *outLength)
{
    if (outBytes != nullptr)
        *outBytes = nullptr;
    if (outLength != nullptr)
        *outLength = 0;
    if (outBytes == nullptr || outLength == nullptr || !qelFileSpecIsValid(spec) ||
        spec->ops == nullptr)
        return QELError_BadParams;
    std::uint8_t *bytes = nullptr;
    std::uint32_t length = 0;
    QELStatus status = spec->ops->exportData(spec, &bytes, &length);
    if (status != 0) {
        if (bytes != nullptr)
            static_cast<void>(qelMemFree(bytes));
        return status;
    }
    void *grown = bytes;
    status = qelMemRealloc(spec->memMgr, &grown, std::size_t{length} + 1, 0);
    if (status != 0) {
        static_cast<void>(qelMemFree(bytes));
        return status;
    }
    bytes = static_cast<std::uint8_t *>(grown);
    std::memmove(bytes + 1, bytes, length);
    bytes[0] = static_cast<std::uint8_t>(spec->kind & 0xFF);
    *outBytes = bytes;
    *outLength = length + 1;
    return 0;
}

// The shortest form a kind-14 spec can take is the kind byte and the NUL of
// an empty path; anything shorter carries no terminated path to copy.
QELStatus qelFileSpecImport(QELMemoryMgr *mgr, const std::uint8_t *bytes, std::uint32_t length,
                            QELFileSpec **outSpec)
{
    if (outSpec == nullptr)
        return QELError_BadParams;
    *outSpec = nullptr;
    qel::ByteCursor in(bytes, length);
    std::uint8_t kind = 0;
    if (bytes == nullptr || qelMemMgrIsValid(mgr) != 0 || length < 2 || !in.u8(kind) ||
        kind != QELFileSpecKind_UnixPath)
        return QELError_BadParams;
    QELFileSpec *spec = nullptr;
    QELStatus status = qelFileSpecNew(mgr, kind, 0, &spec);
    if (status != 0)
        return status;
    status = spec->ops->importData(spec, in.current(), static_cast<std::uint32_t>(in.remaining()));
    if (status != 0) {
        static_cast<void>(qelFileSpecFree(spec));
        return status;
    }
    *outSpec = spec;
    return 0;
}

QELStatus qelFileSpecImportCtx(QELContext *context, const std::uint8_t *bytes,
                               std::uint32_t length, QELFileSpec **outSpec)
{
    if (outSpec == nullptr)
        return QELError_BadParams;
    *outSpec = nullptr;
    return qelFileSpecImport(qelContextGetMemoryMgr(context), bytes, length, outSpec);
}

std::uint8_t *qelFileSpecExportBuffer(const QELFileSpec *spec, std::uint32_t *outLength)
{
    std::uint8_t *bytes = nullptr;
    std::uint32_t length = 0;
    if (qelFileSpecExport(spec, &bytes, &length) != 0)
        bytes = nullptr;
    if (outLength != nullptr)
        *outLength = length;
    return bytes;
}

// --- operations through the table ------------------------------------------

namespace {
bool usable(const QELFileSpec *spec)
{
    return qelFileSpecIsValid(spec) && spec->ops != nullptr;
}
} // namespace

bool qelFileSpecEqual(const QELFileSpec *spec, const QELFileSpec *other)
{
    if (spec == nullptr || other == nullptr)
        return spec == other;
    if (!usable(spec) || !qelFileSpecIsValid(other))
        return false;
    return spec->ops->equal(spec, other);
}

QELStatus qelFileSpecGetName(const QELFileSpec *spec, std::size_t bufferSize, char *buffer)
{
    if (buffer == nullptr || bufferSize == 0)
        return QELError_BadParams;
    buffer[0] = '\0';
    if (!usable(spec))
        return QELError_BadParams;
    char name[QELFileSpecNameBufferSize];
    QELStatus status = spec->ops->getName(spec, name);
    if (status != 0)
        return status;
    std::size_t length = std::strlen(name);
    if (bufferSize < length + 1)
        return QELError_BufferTooSmall;
    std::memcpy(buffer, name, length + 1);
    return 0;
}

QELStatus qelFileSpecGetNameCopy(const QELFileSpec *spec, char **outName)
{
    if (outName == nullptr)
        return QELError_BadParams;
    *outName = nullptr;
    if (!usable(spec))
        return QELError_BadParams;
    char name[QELFileSpecNameBufferSize];
    QELStatus status = spec->ops->getName(spec, name);
    if (status != 0)
        return status;
    *outName = copyString(spec->memMgr, name);
    return *outName != nullptr ? 0 : QELError_OutOfMemory;
}

char *qelFileSpecGetNameAlloc(const QELFileSpec *spec)
{
    char *name = nullptr;
    // A failure leaves name null, which is the answer.
    static_cast<void>(qelFileSpecGetNameCopy(spec, &name));
    return name;
}

QELStatus qelFileSpecSetName(QELFileSpec *spec, const char *name)
{
    if (!usable(spec) || name == nullptr)
        return QELError_BadParams;
    return spec->ops->setName(spec, name);
}

QELStatus qelFileSpecSetMetadata(QELFileSpec *spec, std::uint32_t v1, std::uint32_t v2,
                                 std::uint32_t v3, std::uint32_t v4, std::uint32_t v5)
{
    if (!usable(spec))
        return QELError_BadParams;
    return spec->ops->setMetadata(spec, v1, v2, v3, v4, v5);
}

QELStatus qelFileSpecExists(const QELFileSpec *spec, std::uint8_t *outExists)
{
    if (outExists == nullptr)
        return QELError_BadParams;
    *outExists = 0;
    if (!usable(spec))
        return QELError_BadParams;
    return spec->ops->exists(spec, outExists);
}

QELStatus qelFileSpecCreate(const QELFileSpec *spec)
{
    if (!usable(spec))
        return QELError_BadParams;
    return spec->ops->create(spec);
}

QELStatus qelFileSpecDelete(const QELFileSpec *spec)
{
    if (!usable(spec))
        return QELError_BadParams;
    return spec->ops->deleteFile(spec);
}

QELStatus qelFileSpecRename(QELFileSpec *spec, const char *newName)
{
    if (!usable(spec) || newName == nullptr)
        return QELError_BadParams;
    return spec->ops->rename(spec, newName);
}

QELStatus qelFileSpecGetMaxNameLength(const QELFileSpec *spec, std::uint32_t *outLength)
{
    if (outLength == nullptr)
        return QELError_BadParams;
    *outLength = 0;
    if (!usable(spec))
        return QELError_BadParams;
    return spec->ops->maxNameLength(spec, outLength);
}

QELStatus qelFileSpecGetParent(const QELFileSpec *spec, QELFileSpec **outParent)
{
    if (outParent == nullptr)
        return QELError_BadParams;
    *outParent = nullptr;
    if (!usable(spec))
        return QELError_BadParams;
    return spec->ops->parent(spec, outParent);
}

QELStatus qelFileSpecChild(const QELFileSpec *spec, const char *name, QELFileSpec **outChild)
{
    if (outChild == nullptr)
        return QELError_BadParams;
    *outChild = nullptr;
    if (!usable(spec) || name == nullptr)
        return QELError_BadParams;
    return spec->ops->child(spec, name, outChild);
}

// --- kind 14 only ----------------------------------------------------------

QELStatus qelFileSpecGetPath(const QELFileSpec *spec, char **outPath)
{
    if (outPath == nullptr)
        return QELError_BadParams;
    *outPath = nullptr;
    if (!qelFileSpecIsValid(spec) || !isKind14(spec))
        return QELError_BadParams;
    *outPath = copyString(spec->memMgr, pathOf(spec));
    return *outPath != nullptr ? 0 : QELError_OutOfMemory;
}

QELStatus qelFileSpecGetInfo(const QELFileSpec *spec, QELFileInfo *outInfo)
{
    if (outInfo == nullptr || !qelFileSpecIsValid(spec))
        return QELError_BadParams;
    *outInfo = QELFileInfo{};
    if (!isKind14(spec))
        return QELError_BadParams;
    struct stat st {};
    if (::stat(pathOf(spec), &st) != 0)
        return QELError_FileOpFailed;
    if (S_ISDIR(st.st_mode))
        outInfo->typeFlags |= QELFileInfo_Directory;
    if (S_ISREG(st.st_mode)) {
        outInfo->typeFlags |= QELFileInfo_Regular;
        outInfo->size = st.st_size;
    }
    outInfo->modTime = st.st_mtime;
    return 0;
}

QELStatus qelFileSpecTruncate(const QELFileSpec *spec, std::int64_t length)
{
    if (!qelFileSpecIsValid(spec) || length < 0 || !isKind14(spec))
        return QELError_BadParams;
    return ::truncate(pathOf(spec), static_cast<off_t>(length)) == 0 ? 0 : QELError_FileOpFailed;
}

// A directory without search permission reports every name as existing, so
// the search for a free numbered variant is bounded.
QELStatus qelFileSpecMakeUnique(const QELFileSpec *spec, QELFileSpec **outSpec)
{
    if (outSpec == nullptr)
        return QELError_BadParams;
    *outSpec = nullptr;
    if (!usable(spec))
        return QELError_BadParams;
    QELFileSpec *copy = nullptr;
    QELStatus status = qelFileSpecCopy(spec, &copy);
    if (status != 0)
        return status;
    std::uint8_t exists = 1;
    if (copy->ops->exists(copy, &exists) != 0)
        exists = 1;
    if (!exists) {
        *outSpec = copy;
        return 0;
    }
    std::uint32_t maxLength = 0;
    char name[QELFileSpecNameBufferSize];
    status = copy->ops->maxNameLength(copy, &maxLength);
    if (status == 0)
        status = copy->ops->getName(copy, name);
    if (status != 0) {
        static_cast<void>(qelFileSpecFree(copy));
        return status;
    }
    std::size_t bufferSize = std::min<std::size_t>(std::size_t{maxLength} + 1,
                                                   QELFileSpecNameBufferSize);
    char numbered[QELFileSpecNameBufferSize];
    for (std::uint32_t n = 1; n <= QELFileSpecMaxUniqueTries; ++n) {
        status = qelStrMakeNumberedName(name, "", n, static_cast<std::uint32_t>(bufferSize), numbered);
        if (status == 0)
            status = copy->ops->setName(copy, numbered);
        if (status == 0)
            status = copy->ops->exists(copy, &exists);
        if (status != 0) {
            static_cast<void>(qelFileSpecFree(copy));
            return status;
        }
        if (!exists) {
            *outSpec = copy;
            return 0;
        }
    }
    static_cast<void>(qelFileSpecFree(copy));
    return QELError_ItemAlreadyExists;
}

QELStatus qelFileSpecAppendToName(QELFileSpec *spec, const char *suffix)
{
    if (suffix == nullptr || !usable(spec))
        return QELError_BadParams;
    std::uint32_t maxLength = 0;
    QELStatus status = spec->ops->maxNameLength(spec, &maxLength);
    if (status != 0)
        return status;
    std::size_t suffixLength = std::strlen(suffix);
    if (suffixLength + 1 > maxLength)
        return QELError_BadParams;
    char name[512];
    status = spec->ops->getName(spec, name);
    if (status != 0)
        return status;
    std::size_t nameLength = std::strlen(name);
    if (nameLength + 1 + suffixLength + 1 > maxLength) {
        nameLength = maxLength - suffixLength - 1;
        name[nameLength] = '\0';
    }
    std::memcpy(name + nameLength, suffix, suffixLength + 1);
    return spec->ops->setName(spec, name);
}

QELStatus qelFileSpecRenameTo(const QELFileSpec *spec, const QELFileSpec *other)
{
    if (!usable(spec) || !usable(other))
        return QELError_BadParams;
    char name[QELFileSpecNameBufferSize];
    QELStatus status = other->ops->getName(other, name);
    if (status != 0)
        return status;
    QELFileSpec *copy = nullptr;
    status = qelFileSpecCopy(spec, &copy);
    if (status != 0)
        return status;
    status = copy->ops->rename(copy, name);
    static_cast<void>(qelFileSpecFree(copy));
    return status;
}

const char *qelPathNamePart(const char *path)
{
    if (path == nullptr)
        return nullptr;
    const char *slash = std::strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

// --- directory iteration ---------------------------------------------------

QELStatus qelDirIterNew(const QELFileSpec *dirSpec, QELDirIter **outIter)
{
    if (outIter == nullptr || !qelFileSpecIsValid(dirSpec))
        return QELError_BadParams;
    *outIter = nullptr;
    if (!isKind14(dirSpec) || qelMemMgrIsValid(dirSpec->memMgr) != 0)
        return QELError_BadParams;
    auto *iter = static_cast<QELDirIter *>(
        qelMemAlloc(dirSpec->memMgr, sizeof(QELDirIter), QELMemFlag_Clear));
    if (iter == nullptr)
        return QELError_OutOfMemory;
    iter->memMgr = dirSpec->memMgr;
    iter->dir = ::opendir(pathOf(dirSpec));
    if (iter->dir == nullptr) {
        static_cast<void>(qelMemFree(iter));
        return QELError_FileOpFailed;
    }
    QELStatus status = qelFileSpecCopy(dirSpec, &iter->dirSpec);
    if (status != 0) {
        ::closedir(iter->dir);
        static_cast<void>(qelMemFree(iter));
        return status;
    }
    *outIter = iter;
    return 0;
}

QELStatus qelDirIterNext(QELDirIter *iter, QELFileSpec **outSpec)
{
    if (iter == nullptr || outSpec == nullptr)
        return QELError_BadParams;
    *outSpec = nullptr;
    if (iter->dir == nullptr || iter->dirSpec == nullptr)
        return QELError_BadParams;
    struct dirent *entry = ::readdir(iter->dir);
    if (entry == nullptr)
        return QELError_EndOfIteration;
    return qelFileSpecChild(iter->dirSpec, entry->d_name, outSpec);
}

QELStatus qelDirIterFree(QELDirIter *iter)
{
    if (iter == nullptr)
        return QELError_BadParams;
    int rc = iter->dir != nullptr ? ::closedir(iter->dir) : 0;
    if (iter->dirSpec != nullptr)
        static_cast<void>(qelFileSpecFree(iter->dirSpec));
    static_cast<void>(qelMemFree(iter));
    return rc == 0 ? 0 : QELError_FileOpFailed;
}
