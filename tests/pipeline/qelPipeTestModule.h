// Test-only pipeline modules: a recorder sink that logs every operation it
// receives (optionally taking only part of each write, failing or stalling on
// demand) and helpers that run a chain.
#pragma once

#include "qelPipeModuleInternal.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pipetest {

// What a recorder saw, in order: "W<n>" per write (n = bytes taken),
// "E<n>" per expectBytes, "A<hex code>" per annotation, "F" per flush, "D"
// when destroyed.
struct Record {
    std::vector<std::string> ops;
    std::string bytes;             // every byte taken
    std::uint64_t takeAtMost = ~std::uint64_t{0}; // per write
    bool stall = false;            // take nothing, report nothing
    QELStatus failWrite = 0;       // status to report from writes (taking nothing)
    std::uint64_t failAfterBytes = ~std::uint64_t{0}; // start failing once this many were taken
    int destroyOrder = -1;         // set from a shared counter when destroyed
    int *destroyCounter = nullptr;
    std::vector<std::int32_t> annotations;
};

struct RecorderModule {
    QELPipeModule head;
    Record *record;
};

inline std::uint64_t recWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    Record *r = qelPipeModuleState<RecorderModule>(m)->record;
    if (r->stall)
        return 0;
    if (r->failWrite != 0 && r->bytes.size() >= r->failAfterBytes) {
        if (status)
            *status = r->failWrite;
        return 0;
    }
    std::uint64_t n = length < r->takeAtMost ? length : r->takeAtMost;
    if (r->failWrite != 0 && r->bytes.size() + n > r->failAfterBytes)
        n = r->failAfterBytes - r->bytes.size();
    r->bytes.append(reinterpret_cast<const char *>(bytes), n);
    r->ops.push_back("W" + std::to_string(n));
    return n;
}
inline QELStatus recFlush(QELPipeModule *m)
{
    qelPipeModuleState<RecorderModule>(m)->record->ops.push_back("F");
    return 0;
}
inline QELStatus recAnnotate(QELPipeModule *m, const void *, std::int32_t code, void *, std::uint64_t)
{
    Record *r = qelPipeModuleState<RecorderModule>(m)->record;
    char hex[16];
    std::snprintf(hex, sizeof hex, "A%X", static_cast<unsigned>(code));
    r->ops.push_back(hex);
    r->annotations.push_back(code);
    return 0;
}
inline QELStatus recExpect(QELPipeModule *m, std::uint64_t n)
{
    qelPipeModuleState<RecorderModule>(m)->record->ops.push_back("E" + std::to_string(n));
    return 0;
}
inline QELStatus recDestroy(QELPipeModule *m)
{
    auto *rec = qelPipeModuleState<RecorderModule>(m);
    Record *r = rec->record;
    r->ops.push_back("D");
    if (r->destroyCounter)
        r->destroyOrder = (*r->destroyCounter)++;
    qelPipeModuleFree(rec);
    return 0;
}

inline QELPipeModule *makeRecorder(QELContext *context, Record *record)
{
    static constexpr QELPipeOps ops{recWrite, recFlush, recAnnotate, recExpect, recDestroy};
    auto *m = qelPipeModuleNew<RecorderModule>(context, 0x7E57AB1E, "Test Recorder", ops);
    if (m == nullptr)
        return nullptr;
    m->record = record;
    return &m->head;
}

// Ops without the write entries, to compare framing alone.
inline std::vector<std::string> framing(const std::vector<std::string> &ops)
{
    std::vector<std::string> out;
    for (const auto &op : ops)
        if (op[0] != 'W')
            out.push_back(op);
    return out;
}

} // namespace pipetest
