// Write file.
#include "qelWriteFileModuleInternal.h"

#include "qelFileObjectInternal.h"

namespace {

struct WriteFile {
    QELPipeModule head;
    QELFileObject *file; // null once closed
    std::int32_t close;
    std::int32_t depth;
};

WriteFile *self(QELPipeModule *m) { return qelPipeModuleState<WriteFile>(m); }

std::uint64_t fileWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    WriteFile *w = self(m);
    QELStatus st = 0;
    std::uint64_t written = 0;
    if (w->file == nullptr) {
        st = QELError_CantOpenFile;
    } else if (length != 0) {
        written = w->file->write(bytes, static_cast<std::size_t>(length), w->file);
        if (w->file->lastError(w->file) != nullptr) {
            w->file->clearError(w->file);
            st = QELError_FileOpFailed;
        } else if (written == 0) {
            st = QELError_WriteFailed; // nothing written is never a success
        }
    }
    if (st != 0 && status != nullptr)
        *status = st;
    return written;
}

// Flushes the file and, with the close flag, closes it; a failure of either
// is the result. Once closed, the file is forgotten, so a repeated end of
// input does nothing.
QELStatus finish(WriteFile *w)
{
    if (w->file == nullptr)
        return 0;
    QELStatus status = w->file->flush(w->file);
    if (w->close) {
        QELStatus closed = w->file->close(w->file); // frees the object, failed or not
        w->file = nullptr;
        if (status == 0)
            status = closed;
    }
    return status;
}

QELStatus fileFlush(QELPipeModule *m)
{
    WriteFile *w = self(m);
    return w->file != nullptr ? w->file->flush(w->file) : 0;
}

QELStatus fileAnnotate(QELPipeModule *m, const void *, std::int32_t code, void *, std::uint64_t)
{
    self(m)->depth += qelAnnotationScopeStep(code);
    return 0;
}

QELStatus fileExpectBytes(QELPipeModule *m, std::uint64_t n)
{
    WriteFile *w = self(m);
    if (n != 0 || w->depth != 0)
        return 0;
    return finish(w);
}

QELStatus fileDestroy(QELPipeModule *m)
{
    WriteFile *w = self(m);
    static_cast<void>(finish(w)); // a chain torn down after a failure; the end of input reported it
    qelPipeModuleFree(w);
    return 0;
}

constexpr QELPipeOps kWriteFileOps{fileWrite, fileFlush, fileAnnotate, fileExpectBytes, fileDestroy};

} // namespace

QELPipeModule *qelWriteFileModuleCreate(QELContext *context, QELPipeModule **out, QELFileObject *file, bool close)
{
    if (out == nullptr)
        return nullptr;
    *out = nullptr;
    auto *w = qelPipeModuleNew<WriteFile>(context, QELPipeMagic_WriteFile, "Write file", kWriteFileOps);
    if (w == nullptr)
        return nullptr;
    w->file = file;
    w->close = close ? 1 : 0;
    *out = &w->head;
    return *out;
}
