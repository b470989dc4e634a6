// Workers shared by the runtime and the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "asn1EngineInternal.h"

namespace qel::asn1::detail {

struct Header {
    std::uint8_t id = 0;
    bool indefinite = false;
    std::uint64_t length = 0; // content length (0 when indefinite)
    std::uint64_t size = 0;   // identifier and length octets
};

void fail(std::int32_t *err, std::int32_t code);
// 0 or a status. With checkFit a definite length must fit in what follows
// the header.
std::int32_t readHeader(const std::uint8_t *p, std::uint64_t avail, Header &h, bool checkFit);
void *allocBlock(ASN1Context *ctx, std::uint64_t n);
void releaseBlock(ASN1Context *ctx, void *block);
void wipe(void *p, std::size_t n);
void releaseBytes(ASN1Context *ctx, ASN1_OctetString *r, bool sensitive);
bool entryChecks(ASN1Context *ctx, const void *record, const std::uint8_t *in, std::int32_t *err, bool needCtx);
std::int32_t checkCharacters(Check check, const ASN1_OctetString *r);
std::uint64_t measureElement(const std::uint8_t *p, std::uint64_t len, std::int32_t *err, int depth);

std::uint64_t unpackBytes(ASN1Context *ctx, std::uint8_t tag, std::uint8_t segmentTag, Check check,
                          ASN1_OctetString *record, const std::uint8_t *in, std::uint64_t inLen, std::int32_t *err);
std::uint64_t unpackBits(ASN1Context *ctx, ASN1_BitString *record, const std::uint8_t *in, std::uint64_t inLen,
                         std::uint8_t tag, std::int32_t *err);
std::uint64_t unpackBoolean(ASN1Context *ctx, ASN1_Boolean *record, const std::uint8_t *in, std::uint64_t inLen,
                            std::uint8_t tag, std::int32_t *err);
std::uint64_t unpackNull(ASN1Context *ctx, ASN1_Null *record, const std::uint8_t *in, std::uint64_t inLen,
                         std::uint8_t tag, std::int32_t *err);
std::uint64_t unpackAny(ASN1Context *ctx, ASN1_Any *record, const std::uint8_t *in, std::uint64_t inLen,
                        std::int32_t *err);

} // namespace qel::asn1::detail
