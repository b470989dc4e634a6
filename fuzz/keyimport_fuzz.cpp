// Key import from memory: the input is whatever a user hands the import
// (armored blocks with text around them, binary packets, damage anywhere).
// The import either yields a database, and then exporting it and importing
// the export gives the same number of keys, or it is refused and yields none.
#include "qelFuzzSupport.h"

#include "qelClientEncode.h"
#include "qelClientKeyDB.h"
#include "qelContextInternal.h"
#include "qelKeyDB.h"
#include "qelMemory.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    QELContext *context = qelfuzz::sharedContext();
    QELKeyDB *db = nullptr;
    const QELStatus status = qelImportKeys(context, &db, qelOptionInputBuffer(context, data, size),
                                           qelOptionLastOption(context));
    qelfuzz::check((db == nullptr) == (status != 0), "status and database disagree");
    if (db == nullptr) {
        qelfuzz::check(qelContextGetKeyDBList(context) == nullptr, "a refused import left a database");
        return 0;
    }
    std::uint32_t keys = 0;
    qelfuzz::check(qelKeyDBCountKeys(db, &keys) == 0, "keys not counted");
    void *exported = nullptr;
    std::uint64_t length = 0;
    const QELStatus written =
        qelExportKeys(context, qelOptionExportKeySet(context, qelKeyDBGetRootSet(db)), qelOptionArmorOutput(context, 0),
                      qelOptionOutputAllocatedBuffer(context, &exported, std::uint64_t{1} << 26, &length),
                      qelOptionLastOption(context));
    if (written == 0 && exported != nullptr) {
        QELKeyDB *again = nullptr;
        if (qelImportKeys(context, &again, qelOptionInputBuffer(context, exported, length),
                          qelOptionLastOption(context)) == 0) {
            std::uint32_t back = 0;
            qelfuzz::check(qelKeyDBCountKeys(again, &back) == 0 && back == keys, "the export lost keys");
            qelfuzz::check(qelKeyDBRelease(again) == 0, "release failed");
        }
        qelfuzz::check(qelMemFree(exported) == 0, "free failed");
    }
    qelfuzz::check(qelKeyDBRelease(db) == 0, "release failed");
    return 0;
}
