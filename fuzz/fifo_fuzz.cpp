// Byte FIFOs driven by outside bytes: each input is a program of writes,
// peeks, skips, reads and clears run on every FIFO class side by side with a
// std::deque; every class must hold exactly what the deque holds.
#include "qelFuzzSupport.h"

#include "qelByteFifoInternal.h"
#include "qelContextInternal.h"
#include "qelFileFifoInternal.h"
#include "qelFlexFifoInternal.h"

#include <algorithm>
#include <deque>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    QELContext *context = qelfuzz::sharedContext();
    const QELFifoDescriptor *kinds[] = {qelByteFifoDescriptor(), qelSecureByteFifoDescriptor(),
                                        qelFileFifoDescriptor(), qelFlexFifoDescriptor()};
    for (const QELFifoDescriptor *kind : kinds) {
        QELFifo *fifo = kind->create(context);
        if (fifo == nullptr)
            continue; // no temporary directory: nothing to check
        std::deque<std::uint8_t> model;
        std::vector<std::uint8_t> buf;
        std::uint64_t lastPeek = 0;
        std::uint8_t next = 0;
        for (std::size_t i = 0; i + 2 < size; i += 3) {
            const std::size_t amount = (std::size_t(data[i + 1]) << 8 | data[i + 2]) * ((data[i] >> 3) + 1);
            QELStatus status = 0;
            switch (data[i] & 7) {
            case 0:
            case 1:
            case 2: {
                buf.resize(amount);
                for (auto &b : buf)
                    b = next++;
                qelfuzz::check(kind->write(fifo, buf.data(), amount, &status) == amount && status == 0, "write");
                model.insert(model.end(), buf.begin(), buf.end());
                lastPeek = 0;
                break;
            }
            case 3: {
                std::uint64_t available = 0;
                const std::uint8_t *p = kind->peek(fifo, &available, &status);
                qelfuzz::check(status == 0 && (p == nullptr) == model.empty() && available <= model.size(), "peek");
                qelfuzz::check(p == nullptr || std::equal(p, p + available, model.begin()), "peek bytes");
                lastPeek = available;
                break;
            }
            case 4: {
                std::uint64_t n = lastPeek == 0 ? 0 : amount % (lastPeek + 1);
                kind->skip(fifo, n);
                model.erase(model.begin(), model.begin() + std::ptrdiff_t(n));
                lastPeek = 0;
                break;
            }
            case 5:
            case 6: {
                buf.assign(amount, 0);
                std::uint64_t got = kind->read(fifo, buf.data(), amount, &status);
                qelfuzz::check(status == 0 && got == std::min<std::uint64_t>(amount, model.size()), "read");
                qelfuzz::check(std::equal(buf.begin(), buf.begin() + std::ptrdiff_t(got), model.begin()), "read bytes");
                model.erase(model.begin(), model.begin() + std::ptrdiff_t(got));
                lastPeek = 0;
                break;
            }
            default:
                kind->clear(fifo);
                model.clear();
                lastPeek = 0;
                break;
            }
            qelfuzz::check(kind->size(fifo) == model.size(), "size");
        }
        kind->destroy(fifo);
    }
    return 0;
}
