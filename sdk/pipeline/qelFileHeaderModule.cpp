// The File Header Module. The marker is queued when the first byte is seen
// and written out ahead of everything else, so annotations and flushes stay
// in order with it.
#include "qelFileHeaderModuleInternal.h"

#include <algorithm>
#include <iterator>

namespace {

// An old-format header of tag 10 with a one-byte length 3, then "PGP".
constexpr std::uint8_t kMarkerPacket[5] = {0xA8, 0x03, 0x50, 0x47, 0x50};

struct FileHeader {
    QELPipeModule head;
    std::uint8_t marker[5];
    std::uint32_t markerLeft;
    std::uint32_t markerSent;
    QELPipeModule *downstream;
    std::uint8_t started;
};

FileHeader *self(QELPipeModule *m) { return qelPipeModuleState<FileHeader>(m); }

bool wantsMarker(std::uint8_t first)
{
    if ((first & 0xC0) != 0xC0)
        return false;
    switch (first & 0x3F) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 8: case 9:
    case 11: case 14: case 18: case 60:
        return true;
    default:
        return false;
    }
}

QELStatus writeMarker(FileHeader *f)
{
    if (f->downstream == nullptr)
        return QELError_BadParams;
    if (f->markerLeft == 0)
        return 0;
    std::uint64_t taken = 0;
    QELStatus status = qelPipeWriteAll(f->downstream, f->marker + f->markerSent, f->markerLeft, &taken);
    f->markerSent += static_cast<std::uint32_t>(taken);
    f->markerLeft -= static_cast<std::uint32_t>(taken);
    return status;
}

std::uint64_t headerWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    FileHeader *f = self(m);
    if (length != 0 && !f->started) {
        if (wantsMarker(bytes[0])) {
            std::copy(std::begin(kMarkerPacket), std::end(kMarkerPacket), f->marker);
            f->markerLeft = sizeof kMarkerPacket;
        }
        f->started = 1;
    }
    if (QELStatus s = writeMarker(f); s != 0) {
        if (status != nullptr)
            *status = s;
        return 0;
    }
    return qelPipeWrite(f->downstream, bytes, length, status);
}

QELStatus headerFlush(QELPipeModule *m)
{
    FileHeader *f = self(m);
    if (QELStatus s = writeMarker(f); s != 0)
        return s;
    return qelPipeFlush(f->downstream);
}

QELStatus headerAnnotate(QELPipeModule *m, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    FileHeader *f = self(m);
    if (QELStatus s = writeMarker(f); s != 0)
        return s;
    return qelPipeAnnotate(f->downstream, origin, code, data, length);
}

QELStatus headerExpectBytes(QELPipeModule *m, std::uint64_t n)
{
    FileHeader *f = self(m);
    if (!f->started)
        return 0;
    if (QELStatus s = writeMarker(f); s != 0)
        return s;
    return qelPipeExpectBytes(f->downstream, n);
}

QELStatus headerDestroy(QELPipeModule *m)
{
    FileHeader *f = self(m);
    qelPipeDestroy(f->downstream);
    qelPipeModuleFree(f);
    return 0;
}

constexpr QELPipeOps kFileHeaderOps{headerWrite, headerFlush, headerAnnotate, headerExpectBytes, headerDestroy};

} // namespace

QELPipeModule **qelFileHeaderModuleCreate(QELContext *context, QELPipeModule **slot)
{
    if (slot == nullptr)
        return nullptr;
    auto *f = qelPipeModuleNew<FileHeader>(context, QELPipeMagic_FileHeader, "File Header Module", kFileHeaderOps);
    if (f == nullptr)
        return nullptr;
    return qelPipeModuleLink(slot, &f->head, &f->downstream);
}
