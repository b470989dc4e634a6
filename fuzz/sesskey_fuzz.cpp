// Session-key packet bodies: the first byte chooses the packet kind (even: a
// symmetric-key body, odd: a public-key body), the rest is the body. What
// is accepted must be usable without leaving the body: the item holds the
// whole body, a public-key body's key ID lies inside it, and a passphrase
// item's session key fits the block its key length announces.
#include "qelFuzzSupport.h"

#include "qelKeyID.h"
#include "qelPipeModuleInternal.h"
#include "qelSessionKeyItemInternal.h"

#include <vector>

namespace {

// Iterated specifiers above this coded count make each derivation slow
// without reaching any other code.
constexpr std::uint8_t kMaxCodedCount = 96;

bool cheapToDerive(const std::uint8_t *body, std::size_t size)
{
    return !(size >= 13 && body[2] == 3 && body[12] > kMaxCodedCount);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    QELContext *context = qelfuzz::sharedContext();
    if (size == 0)
        return 0;
    const std::int32_t code = (data[0] & 1) ? QELAnnotation_PublicKeyESK : QELAnnotation_SymmetricKeyESK;
    const std::uint8_t *body = data + 1;
    const std::size_t length = size - 1;
    // A private copy, so that any read past the body is caught.
    std::vector<std::uint8_t> copy(body, body + length);

    QELSessionKeyItem *list = nullptr;
    const QELStatus added = qelSessionKeyItemAdd(context, &list, code, copy.data(), copy.size());
    qelfuzz::check((added == 0) == (list != nullptr), "an item exactly when the body is accepted");
    if (list == nullptr)
        return 0;
    qelfuzz::check(list->length == length && qelSessionKeyItemNext(list) == nullptr, "the item holds the body");
    const std::size_t keyLength = qelSessionKeyItemKeyLength(list);
    if (qelSessionKeyItemKind(list) == 1) {
        qelfuzz::check(length >= 10, "a public-key body holds its header");
        QELKeyID id{};
        qelfuzz::check(qelSessionKeyItemKeyID(list, &id) == 0, "a public-key item has a key ID");
    } else if (cheapToDerive(copy.data(), copy.size())) {
        std::vector<std::uint8_t> block(keyLength);
        const std::int32_t n = qelSessionKeyFromPassphrase(list, nullptr, "fuzz", 4, block.data());
        qelfuzz::check(n < 0 || std::size_t(n) <= keyLength, "the session key fits its block");
    }
    qelSessionKeyListFree(list);
    return 0;
}
