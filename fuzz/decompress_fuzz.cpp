// The two decompression modules on outside bytes: the first byte picks the
// algorithm (bit 0: raw deflate or zlib stream) and the piece size, the rest
// is the compressed body. The module chain must end without error exactly
// when zlib decodes the body whole with nothing after it, and must then
// deliver zlib's output.
#include "qelFuzzSupport.h"

#include "qelCompressSelectInternal.h"
#include "qelMemory.h"
#include "qelTestDeflate.h"
#include "qelVarMemoryModuleInternal.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    qelfuzz::startOnce(true);
    QELContext *context = qelfuzz::sharedContext();
    const std::int32_t algorithm = (data[0] & 1) != 0 ? QELCompressAlgorithm_Zlib : QELCompressAlgorithm_Deflate;
    static const std::size_t kPieces[] = {1, 5, 64, 4096};
    const std::size_t piece = kPieces[(data[0] >> 1) & 3];
    const std::uint8_t *body = data + 1;
    const std::size_t length = size - 1;

    QELPipeModule *head = nullptr;
    QELStatus status = 0;
    QELPipeModule **slot = qelDecompressModuleCreate(context, &head, algorithm, &status);
    qelfuzz::check(slot != nullptr, "create");
    QELPipeModule *sink = qelVarMemoryModuleCreatePlain(context, slot, QELVarMemoryNoLimit);
    qelfuzz::check(sink != nullptr, "sink");
    for (std::size_t at = 0; at < length && status == 0; at += piece)
        status = qelPipeWriteAll(head, body + at, length - at < piece ? length - at : piece);
    if (status == 0)
        status = qelPipeExpectBytes(head, 0);
    qelfuzz::check(status == 0 || status == QELError_DecompressionFailed, "a failure other than corrupt data");

    std::uint64_t total = 0;
    void *buffer = nullptr;
    qelfuzz::check(qelPipeAnnotate(sink, nullptr, QELAnnotation_QueryTotal, &total, 8) == 0, "total");
    qelfuzz::check(qelPipeAnnotate(sink, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer) == 0, "take");
    const auto zlib = qeltest::zlibInflateRaw(body, length, algorithm == QELCompressAlgorithm_Zlib ? 15 : -15);
    qelfuzz::check((status == 0) == zlib.accepted, "verdict differs from zlib");
    if (zlib.accepted)
        qelfuzz::check(total == zlib.output.size() &&
                           (total == 0 || std::memcmp(buffer, zlib.output.data(), total) == 0),
                       "output differs from zlib");
    if (buffer != nullptr)
        static_cast<void>(qelMemFree(buffer));
    qelPipeDestroy(head);
    return 0;
}
