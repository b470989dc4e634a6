// File-spec import: the exported form of a file name, read back from outside
// bytes. An accepted spec exports to the same bytes, names a path of the
// same length, copies to an equal spec and answers the read-only queries.
#include "qelFuzzSupport.h"

#include "qelFileSpecInternal.h"
#include "qelMemoryInternal.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    QELMemoryMgr *mgr = qelMemMgrGetGlobal();
    QELFileSpec *spec = nullptr;
    const QELStatus status = qelFileSpecImport(mgr, data, static_cast<std::uint32_t>(size), &spec);
    if (status != QELError_NoErr) {
        qelfuzz::check(spec == nullptr, "a refused import handed out a spec");
        return 0;
    }
    qelfuzz::check(spec != nullptr && size >= 2, "an accepted import without a spec");

    std::uint8_t *exported = nullptr;
    std::uint32_t exportedLength = 0;
    qelfuzz::check(qelFileSpecExport(spec, &exported, &exportedLength) == QELError_NoErr &&
                       exportedLength == size && std::memcmp(exported, data, size) == 0,
                   "export differs from the imported bytes");
    (void)qelMemFree(exported); // a block of the global manager

    char *path = nullptr;
    qelfuzz::check(qelFileSpecGetPath(spec, &path) == QELError_NoErr && path != nullptr,
                   "no path for an imported spec");
    qelfuzz::check(std::strlen(path) == size - 2, "the path is not the imported name");
    (void)qelMemFree(path);

    char name[QELFileSpecNameBufferSize];
    if (qelFileSpecGetName(spec, sizeof name, name) == QELError_NoErr)
        qelfuzz::check(std::strlen(name) < sizeof name, "name not terminated");

    QELFileSpec *copy = nullptr;
    if (qelFileSpecCopy(spec, &copy) == QELError_NoErr) {
        qelfuzz::check(qelFileSpecEqual(spec, copy), "a copy is not equal");
        (void)qelFileSpecFree(copy);
    }
    QELFileSpec *parent = nullptr;
    if (qelFileSpecGetParent(spec, &parent) == QELError_NoErr)
        (void)qelFileSpecFree(parent);
    QELFileSpec *child = nullptr;
    if (qelFileSpecChild(spec, "child", &child) == QELError_NoErr)
        (void)qelFileSpecFree(child);
    std::uint8_t exists = 0;
    (void)qelFileSpecExists(spec, &exists); // any answer; it must only not fail badly
    std::uint32_t maxName = 0;
    (void)qelFileSpecGetMaxNameLength(spec, &maxName);
    (void)qelFileSpecFree(spec);
    return 0;
}
