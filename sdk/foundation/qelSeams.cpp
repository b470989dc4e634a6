// Stand-ins for operations whose real modules have not landed yet. Each block
// names the module that will replace it; that module deletes its block here
// and in qelSeams.h when it arrives.
#include "qelSeams.h"
#include "qelOptionListInternal.h"
#include "qelSettingsInternal.h"

#include <cstring>


// ---- keydb: stand-ins the key database calls ----

// qelX509Keys: no certificate toolkit yet.
QELStatus qelX509DecodeCRLTimes(QELContext *, const std::uint8_t *, std::size_t, QELX509CRLTimes *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelX509DecodeCertNames(QELContext *, const std::uint8_t *, std::size_t,
                                 QELX509CertNames *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelX509GetIssuerAndSerial(const std::uint8_t *, std::size_t, std::uint8_t *, std::size_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelX509GetNameDER(const std::uint8_t *, std::size_t, bool, std::uint8_t *, std::size_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelX509GetNameText(const std::uint8_t *, std::size_t, bool, std::uint8_t *, std::size_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelX509GetSubjectAltName(const std::uint8_t *, std::size_t, int, std::uint8_t *, std::size_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelX509KeyToSubjectPublicKeyInfo(QELContext *, QELKeyObject *, std::uint8_t *, std::size_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelX509GetCRLDistributionPoint(QELContext *, const std::uint8_t *, std::size_t, std::uint8_t *,
                                         std::size_t *)
{
    return QELError_FeatureNotAvailable;
}
// qelEvent: the event record a job hands its handler (two reserved words, the
// reply slot, the kind, 64 bytes of payload); progress carries two 64-bit
// counts, key generation the generator's 32-bit progress value.
bool qelErrorIsKeyUnusable(QELStatus status)
{
    return (status >= -11350 && status <= -11336) || status == -11975 || status == -11492;
}
namespace {
// One event of a kind with its payload, sent to the handler; an option list
// the handler leaves in the reply is freed.
std::int32_t sendEvent(QELContext *context, QELEventHandler handler, void *userValue, std::int32_t kind,
                       const void *payload, std::size_t length)
{
    if (handler == nullptr)
        return 0;
    struct Reply {
        QELContext *context;
        void *options;
    } reply{context, nullptr};
    struct Event {
        std::uint64_t reserved[2];
        Reply *reply;
        std::int32_t kind;
        std::uint8_t data[64];
    } event{};
    static_assert(sizeof(Event) == 96);
    event.reply = &reply;
    event.kind = kind;
    std::memcpy(event.data, payload, length < sizeof event.data ? length : sizeof event.data);
    std::int32_t r = handler(context, reinterpret_cast<QELEvent *>(&event), userValue);
    if (reply.options != nullptr)
        qelOptionListFree(static_cast<QELOptionList *>(reply.options));
    return r;
}
} // namespace

std::int32_t qelEventSendProgress(QELContext *context, QELEventHandler handler, void *userValue,
                                  std::uint64_t done, std::uint64_t total)
{
    const std::uint64_t counts[2] = {done, total};
    return sendEvent(context, handler, userValue, 0, counts, sizeof counts);
}
std::int32_t qelEventSendKeyGen(QELContext *context, QELEventHandler handler, void *userValue,
                                std::int32_t progress)
{
    return sendEvent(context, handler, userValue, 17, &progress, sizeof progress);
}
// ---- end keydb ----
