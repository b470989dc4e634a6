// File objects over platform streams and memory, and the character-set
// translation tables.
#include "qelFileObjectInternal.h"

#include "qelContextInternal.h"
#include "qelIOInternal.h"
#include "qelLayerSeamsInternal.h"
#include "qelWipe.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <sys/types.h>

namespace {

struct StreamState {
    QELFileCloseProc closeProc;
    void *closeUser;
    QELFileError error;
    QELCFBContext *cfb;
    std::FILE *stream;
    QELStatus pending;
    std::int32_t mode;
    std::int64_t endPos;
    std::int64_t pos;
    std::int64_t size;
};

struct MemoryState {
    QELContext *context;
    QELIO *io;
    QELFileError error;
    QELStatus pending;
};

StreamState *streamOf(QELFileObject *file)
{
    return static_cast<StreamState *>(file->state);
}

MemoryState *memoryOf(QELFileObject *file)
{
    return static_cast<MemoryState *>(file->state);
}

// Allocates an object and its state record, both cleared; null when either
// allocation fails (nothing is left allocated then).
template <typename State>
QELFileObject *newObject(QELContext *context, State **outState)
{
    auto *file = static_cast<QELFileObject *>(
        qelContextMemAlloc(context, sizeof(QELFileObject), 1));
    if (file == nullptr)
        return nullptr;
    *outState = static_cast<State *>(qelContextMemAlloc(context, sizeof(State), 1));
    if (*outState == nullptr) {
        static_cast<void>(qelContextMemFree(context, file));
        return nullptr;
    }
    return file;
}

// Gives the object its operations (from a record of the kind), its context
// and its state.
void setUpObject(QELFileObject *file, const QELFileObject &kind, QELContext *context,
                 void *state)
{
    *file = kind;
    file->context = context;
    file->word = 0;
    file->state = state;
}

// Wipes and releases the object and its state record.
template <typename State>
void releaseObject(QELFileObject *file, State *state)
{
    QELContext *context = file->context;
    qelSecureWipe(state, sizeof(*state));
    static_cast<void>(qelContextMemFree(context, state));
    qelSecureWipe(file, sizeof(*file));
    static_cast<void>(qelContextMemFree(context, file));
}

// --- stream objects ----------------------------------------------------------

void recordPending(QELFileObject *file, QELStatus status)
{
    qelFileObjSetError(file, status);
    streamOf(file)->pending = status;
    streamOf(file)->error.pos = streamOf(file)->pos;
}

std::size_t streamRead(void *buffer, std::size_t count, QELFileObject *file)
{
    StreamState *s = streamOf(file);
    if (!(s->mode & QELFileMode_Read)) {
        recordPending(file, QELError_IllegalFileOp);
        return 0;
    }
    if (count == 0 || buffer == nullptr)
        return 0;
    std::size_t n = std::fread(buffer, 1, count, s->stream);
    if (n == 0)
        qelFileObjSetError(file, QELError_FileOpFailed);
    s->pos += static_cast<std::int64_t>(n);
    return n;
}

// A short write loses data, so it is recorded even when some bytes went out.
std::size_t streamWrite(const void *buffer, std::size_t count, QELFileObject *file)
{
    StreamState *s = streamOf(file);
    if (!(s->mode & QELFileMode_Write)) {
        recordPending(file, QELError_FileLocked);
        return 0;
    }
    if (count == 0 || buffer == nullptr)
        return 0;
    std::size_t n = std::fwrite(buffer, 1, count, s->stream);
    s->pos += static_cast<std::int64_t>(n);
    if (s->pos > s->endPos)
        s->endPos = s->pos;
    if (n < count)
        qelFileObjSetError(file, QELError_FileOpFailed);
    return n;
}

QELStatus streamFlush(QELFileObject *file)
{
    StreamState *s = streamOf(file);
    if (!(s->mode & QELFileMode_Write))
        return QELError_FileLocked;
    if (std::fflush(s->stream) != 0) {
        recordPending(file, QELError_FileOpFailed);
        return QELError_FileOpFailed;
    }
    return 0;
}

// The object is released even when closing fails: the platform stream is
// gone after a failed fclose too, so nothing could use the object again.
QELStatus streamClose(QELFileObject *file)
{
    StreamState *s = streamOf(file);
    QELStatus status = 0;
    if ((s->mode & QELFileMode_CloseStream) && !(s->mode & QELFileMode_KeepOpen)) {
        if (std::fclose(s->stream) != 0)
            status = QELError_FileOpFailed;
    } else if ((s->mode & QELFileMode_CloseProc) && s->closeProc != nullptr) {
        if (s->closeProc(s->stream, s->closeUser) != 0)
            status = QELError_FileOpFailed;
    }
    s->stream = nullptr;
    if (s->cfb != nullptr)
        static_cast<void>(qelCryptoSeams().cfbFree(s->cfb)); // only the crypto layer sets a cipher
    releaseObject(file, s);
    return status;
}

std::int64_t streamTell(QELFileObject *file)
{
    return streamOf(file)->pos;
}

QELStatus streamSeek(QELFileObject *file, std::int64_t offset, int origin)
{
    StreamState *s = streamOf(file);
    if (!(s->mode & QELFileMode_Read))
        return QELError_IllegalFileOp;
    std::int64_t target = offset;
    if (origin == QELFileSeek_Current)
        target += s->pos;
    else if (origin == QELFileSeek_End)
        target += s->endPos;
    if (target < 0 || target > s->endPos) {
        qelFileObjSetError(file, QELError_FileOpFailed);
        return QELError_FileOpFailed;
    }
    if (::fseeko(s->stream, static_cast<off_t>(target), SEEK_SET) != 0) {
        recordPending(file, QELError_FileOpFailed);
        return QELError_FileOpFailed;
    }
    s->pos = target;
    return 0;
}

bool streamAtEnd(QELFileObject *file)
{
    return streamOf(file)->pos >= streamOf(file)->endPos;
}

std::int64_t streamGetSize(QELFileObject *file)
{
    return streamOf(file)->size;
}

QELFileError *streamLastError(QELFileObject *file)
{
    StreamState *s = streamOf(file);
    return s->pending != 0 ? &s->error : nullptr;
}

void streamClearError(QELFileObject *file)
{
    StreamState *s = streamOf(file);
    std::clearerr(s->stream);
    s->pending = 0;
}

// The platform stream may not be read after a write without a flush or a
// positioning call; both happen here, at the object's own position.
QELStatus streamSwitchToRead(QELFileObject *file)
{
    StreamState *s = streamOf(file);
    if ((s->mode & (QELFileMode_Write | QELFileMode_CloseStream)) !=
        (QELFileMode_Write | QELFileMode_CloseStream))
        return QELError_FileLocked;
    if (std::fflush(s->stream) != 0 ||
        ::fseeko(s->stream, static_cast<off_t>(s->pos), SEEK_SET) != 0) {
        recordPending(file, QELError_FileOpFailed);
        return QELError_FileOpFailed;
    }
    s->mode = (s->mode & ~QELFileMode_Write) | QELFileMode_Read;
    return 0;
}

QELCFBContext *streamCopyCipher(QELFileObject *file)
{
    StreamState *s = streamOf(file);
    if (s->cfb == nullptr)
        return nullptr;
    QELCFBContext *copy = nullptr;
    if (qelCryptoSeams().cfbCopy(s->cfb, &copy) != 0)
        return nullptr;
    return copy;
}

// --- memory objects ----------------------------------------------------------

std::size_t memRead(void *buffer, std::size_t count, QELFileObject *file)
{
    MemoryState *m = memoryOf(file);
    std::uint32_t got = 0;
    auto n = static_cast<std::uint32_t>(std::min<std::size_t>(count, UINT32_MAX));
    QELStatus status = qelIORead(m->io, n, buffer, &got);
    if (status != 0)
        qelMemFileObjSetError(file, status);
    return got;
}

// The memory class writes all or nothing, so a failed write wrote nothing.
std::size_t memWrite(const void *buffer, std::size_t count, QELFileObject *file)
{
    MemoryState *m = memoryOf(file);
    if (count > UINT32_MAX) {
        qelMemFileObjSetError(file, QELError_MemoryIOFull);
        return 0;
    }
    QELStatus status = qelIOWrite(m->io, static_cast<std::uint32_t>(count), buffer);
    if (status != 0) {
        qelMemFileObjSetError(file, status);
        return 0;
    }
    return count;
}

QELStatus memFlush(QELFileObject *file)
{
    QELStatus status = qelIOFlush(memoryOf(file)->io);
    if (status != 0)
        qelMemFileObjSetError(file, status);
    return status;
}

QELStatus memClose(QELFileObject *file)
{
    MemoryState *m = memoryOf(file);
    static_cast<void>(qelIOFree(m->io));
    releaseObject(file, m);
    return 0;
}

std::int64_t memTell(QELFileObject *file)
{
    std::int64_t pos = 0;
    // A failure leaves pos at 0.
    static_cast<void>(qelIOGetPos(memoryOf(file)->io, &pos));
    return pos;
}

QELStatus memSeek(QELFileObject *file, std::int64_t offset, int origin)
{
    MemoryState *m = memoryOf(file);
    std::int64_t target = offset;
    if (origin == QELFileSeek_Current) {
        target += memTell(file);
    } else if (origin == QELFileSeek_End) {
        std::int64_t size = 0;
        // A failure leaves size at 0.
        static_cast<void>(qelIOGetSize(m->io, &size));
        target += size;
    } else if (origin != QELFileSeek_Start) {
        target = 0;
    }
    QELStatus status = qelIOSetPos(m->io, target);
    if (status != 0)
        qelMemFileObjSetError(file, status);
    return status;
}

bool memAtEnd(QELFileObject *file)
{
    return qelIOAtEnd(memoryOf(file)->io);
}

std::int64_t memGetSize(QELFileObject *)
{
    return 0;
}

QELFileError *memLastError(QELFileObject *file)
{
    MemoryState *m = memoryOf(file);
    return m->pending != 0 ? &m->error : nullptr;
}

void memClearError(QELFileObject *file)
{
    memoryOf(file)->pending = 0;
}

QELStatus memSwitchToRead(QELFileObject *file)
{
    QELStatus status = qelIOSetPos(memoryOf(file)->io, 0);
    if (status != 0)
        qelMemFileObjSetError(file, status);
    return status;
}

QELCFBContext *memCopyCipher(QELFileObject *)
{
    return nullptr;
}

// The operations of each kind of object (context and state come later).
constexpr QELFileObject kStreamObject = {
    .context = nullptr, .word = 0, .state = nullptr,
    .read = streamRead, .write = streamWrite, .flush = streamFlush, .close = streamClose,
    .tell = streamTell, .seek = streamSeek, .atEnd = streamAtEnd, .getSize = streamGetSize,
    .lastError = streamLastError, .clearError = streamClearError,
    .switchToRead = streamSwitchToRead, .copyCipher = streamCopyCipher};
constexpr QELFileObject kMemoryObject = {
    .context = nullptr, .word = 0, .state = nullptr,
    .read = memRead, .write = memWrite, .flush = memFlush, .close = memClose,
    .tell = memTell, .seek = memSeek, .atEnd = memAtEnd, .getSize = memGetSize,
    .lastError = memLastError, .clearError = memClearError,
    .switchToRead = memSwitchToRead, .copyCipher = memCopyCipher};

} // namespace

// --- constructors ----------------------------------------------------------------

QELFileObject *qelFileObjNew(QELContext *context, std::FILE *stream, std::int32_t mode)
{
    if (stream == nullptr)
        return nullptr;
    StreamState *s = nullptr;
    QELFileObject *file = newObject(context, &s);
    if (file == nullptr)
        return nullptr;
    s->stream = stream;
    s->mode = mode;
    struct stat st {};
    if (::fstat(::fileno(stream), &st) == 0) {
        s->endPos = st.st_size;
        s->size = S_ISREG(st.st_mode) ? st.st_size : -1;
    } else {
        s->endPos = 0;
        s->size = -1;
    }
    s->pos = 0;
    std::rewind(stream);
    setUpObject(file, kStreamObject, context, s);
    return file;
}

QELFileObject *qelFileObjOpenRead(QELContext *context, std::FILE *stream)
{
    return qelFileObjNew(context, stream, QELFileMode_Read | QELFileMode_CloseStream);
}

QELFileObject *qelFileObjOpenWrite(QELContext *context, std::FILE *stream)
{
    return qelFileObjNew(context, stream, QELFileMode_Write | QELFileMode_CloseStream);
}

QELFileObject *qelFileObjOpenWriteKeep(QELContext *context, std::FILE *stream)
{
    return qelFileObjNew(context, stream,
                         QELFileMode_Write | QELFileMode_CloseStream | QELFileMode_KeepOpen);
}

QELFileObject *qelFileObjOpenWithCloseProc(QELContext *context, std::FILE *stream,
                                           QELFileCloseProc closeProc, void *userValue)
{
    QELFileObject *file =
        qelFileObjNew(context, stream, QELFileMode_Write | QELFileMode_CloseProc);
    if (file != nullptr) {
        streamOf(file)->closeProc = closeProc;
        streamOf(file)->closeUser = userValue;
    }
    return file;
}

void qelFileObjSetError(QELFileObject *file, QELStatus status)
{
    if (file == nullptr || file->state == nullptr)
        return;
    StreamState *s = streamOf(file);
    s->error.owner = file;
    s->error.status = status;
    s->error.platformError = errno;
    s->pending = s->stream != nullptr && std::ferror(s->stream) ? status : 0;
    if (s->pending != 0)
        s->error.pos = s->pos;
}

QELFileObject *qelFileObjOpenMemory(QELContext *context, const void *bytes, std::size_t length)
{
    if ((length != 0 && bytes == nullptr) || length > UINT32_MAX)
        return nullptr;
    MemoryState *m = nullptr;
    QELFileObject *file = newObject(context, &m);
    if (file == nullptr)
        return nullptr;
    m->context = context;
    QELStatus status = qelMemoryIONew(qelContextGetMemoryMgr(context), &m->io);
    if (status == 0 && length != 0) {
        status = qelIOWrite(m->io, static_cast<std::uint32_t>(length), bytes);
        if (status == 0)
            status = qelIOSetPos(m->io, 0);
    }
    if (status != 0) {
        if (m->io != nullptr)
            static_cast<void>(qelIOFree(m->io));
        static_cast<void>(qelContextMemFree(context, m));
        static_cast<void>(qelContextMemFree(context, file));
        return nullptr;
    }
    setUpObject(file, kMemoryObject, context, m);
    return file;
}

void qelMemFileObjSetError(QELFileObject *file, QELStatus status)
{
    if (file == nullptr || file->state == nullptr)
        return;
    MemoryState *m = memoryOf(file);
    m->error.owner = file;
    m->error.pos = memTell(file);
    m->error.status = status;
    m->error.platformError = 0;
    m->pending = status;
}

// --- character sets ----------------------------------------------------------------

namespace {

constexpr std::array<std::uint8_t, 256> makeIdentity()
{
    std::array<std::uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i)
        t[i] = static_cast<std::uint8_t>(i);
    return t;
}

// Latin-1 letters lose their diacritics and symbols become look-alikes;
// what has no look-alike becomes "?".
constexpr std::array<std::uint8_t, 256> makeLatin1ToAscii()
{
    std::array<std::uint8_t, 256> t = makeIdentity();
    t[0x80] = 0;
    for (int i = 0x81; i < 0xA0; ++i)
        t[i] = '?';
    constexpr char high[] =
        " !cL?Y|?\"Ca<--R-"   // A0..AF
        "o?23'u?.,1o>????"    // B0..BF
        "AAAAAAACEEEEIIII"    // C0..CF
        "DNOOOOOxOUUUUY?s"    // D0..DF
        "aaaaaaaceeeeiiii"    // E0..EF
        "dnooooo/ouuuuy?y";   // F0..FF
    static_assert(sizeof(high) == 97);
    for (int i = 0; i < 96; ++i)
        t[0xA0 + i] = static_cast<std::uint8_t>(high[i]);
    return t;
}

// Code page 850's upper half in Latin-1; the lower half is ASCII in both.
constexpr std::array<std::uint8_t, 128> kCp850High = {
    0xC7, 0xFC, 0xE9, 0xE2, 0xE4, 0xE0, 0xE5, 0xE7, 0xEA, 0xEB, 0xE8, 0xEF, 0xEE, 0xEC, 0xC4, 0xC5,
    0xC9, 0xE6, 0xC6, 0xF4, 0xF6, 0xF2, 0xFB, 0xF9, 0xFF, 0xD6, 0xDC, 0xF8, 0xA3, 0xD8, 0xD7, 0x80,
    0xE1, 0xED, 0xF3, 0xFA, 0xF1, 0xD1, 0xAA, 0xBA, 0xBF, 0xAE, 0xAC, 0xBD, 0xBC, 0xA1, 0xAB, 0xBB,
    0x9B, 0x82, 0x83, 0x81, 0x84, 0xC1, 0xC2, 0xC0, 0xA9, 0x85, 0x86, 0xAF, 0xB8, 0xA2, 0xA5, 0x87,
    0xB7, 0xB5, 0x88, 0x89, 0x8E, 0x8A, 0xE3, 0xC3, 0x8B, 0x8D, 0x8F, 0x90, 0x92, 0x93, 0x95, 0xA4,
    0xF0, 0xD0, 0xCA, 0xCB, 0xC8, 0x96, 0xCD, 0xCE, 0xCF, 0x97, 0x98, 0x99, 0x9A, 0xA6, 0xCC, 0x9D,
    0xD3, 0xDF, 0xD4, 0xD2, 0xF5, 0xD5, 0x91, 0xDE, 0xFE, 0xDA, 0xDB, 0xD9, 0xFD, 0xDD, 0x8C, 0xB4,
    0xAD, 0xB1, 0x9E, 0xBE, 0xB6, 0xA7, 0xF7, 0x94, 0xB0, 0xA8, 0x9C, 0xB9, 0xB3, 0xB2, 0x9F, 0xA0,
};
constexpr std::array<std::uint8_t, 256> kEbcdicToLatin1 = {
    0x00, 0x01, 0x02, 0x03, 0x9C, 0x09, 0x86, 0x7F, 0x97, 0x8D, 0x8E, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x9D, 0x85, 0x08, 0x87, 0x18, 0x19, 0x92, 0x8F, 0x1C, 0x1D, 0x1E, 0x1F,
    0x80, 0x81, 0x82, 0x83, 0x84, 0x0A, 0x17, 0x1B, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x05, 0x06, 0x07,
    0x90, 0x91, 0x16, 0x93, 0x94, 0x95, 0x96, 0x04, 0x98, 0x99, 0x9A, 0x9B, 0x14, 0x15, 0x9E, 0x1A,
    0x20, 0xA0, 0xE2, 0xE4, 0xE0, 0xE1, 0xE3, 0xE5, 0xE7, 0xF1, 0x5B, 0x2E, 0x3C, 0x28, 0x2B, 0x21,
    0x26, 0xE9, 0xEA, 0xEB, 0xE8, 0xED, 0xEE, 0xEF, 0xEC, 0xDF, 0x5D, 0x24, 0x2A, 0x29, 0x3B, 0x5E,
    0x2D, 0x2F, 0xC2, 0xC4, 0xC0, 0xC1, 0xC3, 0xC5, 0xC7, 0xD1, 0x7C, 0x2C, 0x25, 0x5F, 0x3E, 0x3F,
    0xF8, 0xC9, 0xCA, 0xCB, 0xC8, 0xCD, 0xCE, 0xCF, 0xCC, 0x60, 0x3A, 0x23, 0x40, 0x27, 0x3D, 0x22,
    0xD8, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0xAB, 0xBB, 0xF0, 0xFD, 0xFE, 0xB1,
    0xB0, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F, 0x70, 0x71, 0x72, 0xAA, 0xBA, 0xE6, 0xB8, 0xC6, 0xA4,
    0xB5, 0x7E, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0xA1, 0xBF, 0xD0, 0xDD, 0xDE, 0xAE,
    0xA2, 0xA3, 0xA5, 0xB7, 0xA9, 0xA7, 0xB6, 0xBC, 0xBD, 0xBE, 0xAC, 0xA6, 0xAF, 0xA8, 0xB4, 0xD7,
    0x7B, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0xAD, 0xF4, 0xF6, 0xF2, 0xF3, 0xF5,
    0x7D, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x50, 0x51, 0x52, 0xB9, 0xFB, 0xFC, 0xF9, 0xFA, 0xFF,
    0x5C, 0xF7, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0xB2, 0xD4, 0xD6, 0xD2, 0xD3, 0xD5,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0xB3, 0xDB, 0xDC, 0xD9, 0xDA, 0x9F,
};

constexpr std::array<std::uint8_t, 256> withAsciiLow(const std::array<std::uint8_t, 128> &high)
{
    std::array<std::uint8_t, 256> t = makeIdentity();
    for (int i = 0; i < 128; ++i)
        t[0x80 + i] = high[i];
    return t;
}

// The decoding tables are permutations, so each encoding table is the
// inverse of its decoding table.
constexpr std::array<std::uint8_t, 256> inverse(const std::array<std::uint8_t, 256> &t)
{
    std::array<std::uint8_t, 256> r{};
    std::array<bool, 256> seen{};
    for (int i = 0; i < 256; ++i) {
        if (seen[t[i]])
            throw "not a permutation"; // fails the constant evaluation
        seen[t[i]] = true;
        r[t[i]] = static_cast<std::uint8_t>(i);
    }
    return r;
}

constexpr std::array<std::uint8_t, 256> kIdentity = makeIdentity();
constexpr std::array<std::uint8_t, 256> kLatin1ToAscii = makeLatin1ToAscii();
constexpr std::array<std::uint8_t, 256> kCp850ToLatin1 = withAsciiLow(kCp850High);
constexpr std::array<std::uint8_t, 256> kLatin1ToCp850 = inverse(kCp850ToLatin1);
constexpr std::array<std::uint8_t, 256> kLatin1ToEbcdic = inverse(kEbcdicToLatin1);

constexpr QELCharsetInfo kCharsets[] = {
    {"noconv", kIdentity.data(), kIdentity.data()},
    {"ascii", kIdentity.data(), kLatin1ToAscii.data()},
    {"cp850", kCp850ToLatin1.data(), kLatin1ToCp850.data()},
    {"ebcdic", kEbcdicToLatin1.data(), kLatin1ToEbcdic.data()},
    {nullptr, nullptr, nullptr},
};

} // namespace

const QELCharsetInfo *qelCharsetTable()
{
    return kCharsets;
}

QELStatus qelCharsetLookup(const char *name, std::size_t length, const std::uint8_t **outDecode,
                           const std::uint8_t **outEncode)
{
    if (outDecode != nullptr)
        *outDecode = nullptr;
    if (outEncode != nullptr)
        *outEncode = nullptr;
    if (name == nullptr || outDecode == nullptr || outEncode == nullptr)
        return QELError_BadParams;
    for (const QELCharsetInfo *entry = kCharsets; entry->name != nullptr; ++entry) {
        if (std::strlen(entry->name) != length)
            continue;
        bool same = true;
        for (std::size_t i = 0; i < length && same; ++i)
            same = std::tolower(static_cast<unsigned char>(name[i])) ==
                   static_cast<unsigned char>(entry->name[i]);
        if (same) {
            *outDecode = entry->decodeTable;
            *outEncode = entry->encodeTable;
            return 0;
        }
    }
    return QELError_UnknownCharset;
}

void qelCharsetTranslate(const void *source, std::size_t count, void *destination,
                         const std::uint8_t *table)
{
    if (source == nullptr || destination == nullptr || table == nullptr)
        return;
    auto *in = static_cast<const std::uint8_t *>(source);
    auto *out = static_cast<std::uint8_t *>(destination);
    for (std::size_t i = count; i-- > 0;)
        out[i] = table[in[i]];
}
