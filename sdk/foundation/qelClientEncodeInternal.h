// Option constructors inside the SDK: the shared body of the output-record
// kinds and the value handlers of kinds that own records or SDK objects.
#pragma once

#include "qelClientEncode.h"
#include "qelOptionListInternal.h"

#include <cstdint>

QELOptionList *qelOptionOutputRecord(QELContext *context, void **outBuffer, std::uint64_t maximum,
                                     std::uint64_t *outSize, std::int32_t kind);
QELStatus qelOptionRecordHandler(QELContext *context, std::int32_t event, std::int32_t kind,
                                 std::uint64_t value, std::uint64_t size, std::uint64_t *outValue,
                                 std::uint64_t *outSize);
QELStatus qelOptionObjectHandler(QELContext *context, std::int32_t event, std::int32_t kind,
                                 std::uint64_t value, std::uint64_t size, std::uint64_t *outValue,
                                 std::uint64_t *outSize);
