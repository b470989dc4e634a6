// Any input decoded as a certificate (both schema modules), a revocation
// list, PKCS#7 content and signed data, and PKCS#12; whatever decodes is
// re-encoded, and the re-encoding must decode again to the same octets.
#include "qelFuzzSupport.h"

#include "asn1KeyInternal.h"
#include "asn1PKCS12Internal.h"
#include "asn1PKCS7Internal.h"
#include "asn1PKIXInternal.h"

#include <vector>

namespace {

ASN1Context gCtx{0, &asn1DefaultAllocator};

void roundTrip(const qel::asn1::TypeDesc &type, const std::uint8_t *data, std::size_t size)
{
    void *record = nullptr;
    std::int32_t err = 0;
    const std::uint64_t used = qel::asn1::unpack(type, &gCtx, &record, data, size, &err);
    if (record == nullptr) {
        qelfuzz::check(err != 0 && used == 0, "no record without a status");
        return;
    }
    qelfuzz::check(err == 0 && used != 0 && used <= size, "a record with a status or a bad count");
    std::vector<std::uint8_t> out(qel::asn1::sizeContents(type, record, 1, 0));
    const std::uint64_t written = qel::asn1::packContents(type, &gCtx, out.data(), out.size(), record, type.ownCode, &err);
    if (err == 0) {
        qelfuzz::check(written == out.size(), "encoding differs from its size");
        void *again = nullptr;
        std::int32_t err2 = 0;
        const std::uint64_t used2 = qel::asn1::unpack(type, &gCtx, &again, out.data(), out.size(), &err2);
        qelfuzz::check(err2 == 0 && used2 == out.size(), "an encoding that does not decode");
        std::vector<std::uint8_t> out2(qel::asn1::sizeContents(type, again, 1, 0));
        std::int32_t err3 = 0;
        qel::asn1::packContents(type, &gCtx, out2.data(), out2.size(), again, type.ownCode, &err3);
        qelfuzz::check(err3 == 0 && out2 == out, "re-encoding is not stable");
        qel::asn1::freeRecord(type, &gCtx, again);
    }
    qel::asn1::freeRecord(type, &gCtx, record);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace qel::asn1;
    for (const TypeDesc *type : {&descPKIX_Certificate, &descKey_Certificate, &descPKIX_CertificateList,
                                 &descPKCS7_ContentInfo, &descPKCS7_SignedData, &descKey_SignedData,
                                 &descPKCS12_PFX, &descPKCS12_SafeContents})
        roundTrip(*type, data, size);
    return 0;
}
