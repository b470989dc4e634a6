// Job events: one builder per kind over a common sender.
#include "qelEventInternal.h"

#include "qelContextInternal.h"
#include "qelMemory.h"
#include "qelOptionListInternal.h"
#include "qelWipe.h"

#include <cstring>
#include <type_traits>

static_assert(sizeof(QELEvent) == 96, "the event record is 96 bytes");
static_assert(sizeof(QELEvent::data) == 64, "every payload fits the 64 bytes of the record");

namespace {

// Fills a zeroed record with the kind and what `fill` writes into its
// payload, calls the handler and hands back its reply; a caller that gives
// no reply slot does not want the answer, and it is freed here.
template <typename Fill>
std::int32_t send(QELContext *context, QELOptionList **reply, QELEventHandler handler, void *userValue,
                  std::int32_t kind, Fill fill)
{
    if (reply != nullptr)
        *reply = nullptr;
    if (handler == nullptr)
        return 0;
    QELEventReply answer{context, nullptr};
    QELEvent event;
    std::memset(&event, 0, sizeof event);
    event.reply = &answer;
    event.kind = kind;
    fill(event.data);
    std::int32_t status = handler(context, &event, userValue);
    if (reply != nullptr)
        *reply = answer.options;
    else if (answer.options != nullptr)
        qelOptionListFreeAndClear(&answer.options); // a kind without a reply: nobody would read it
    return status;
}

constexpr auto kNothing = [](auto &) {};

// The payload of the kinds that report a status about an object.
auto statusPayload(QELStatus status, void *object)
{
    return [=](auto &d) {
        d.error.status = status;
        d.error.object = object;
    };
}

// The payload of the kinds that hand over a session key.
auto sessionKeyPayload(std::int32_t algorithm, const std::uint8_t *sessionKey, std::uint64_t length)
{
    return [=](auto &d) {
        d.sessionKey.algorithm = algorithm;
        d.sessionKey.sessionKey = sessionKey;
        d.sessionKey.length = length;
    };
}

bool unsafeInFileName(unsigned char c)
{
    switch (c) {
    case 0x22: case 0x2A: case 0x2F: case 0x3A: case 0x3E: case 0x3F: case 0x5C: case 0x7C:
        return true;
    default:
        return c < 0x20;
    }
}

} // namespace

std::int32_t qelEventSendProgress(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                  void *userValue, std::uint64_t done, std::uint64_t total)
{
    return send(context, reply, handler, userValue, QELEvent_Progress, [&](auto &d) {
        d.progress.done = done;
        d.progress.total = total;
    });
}

std::int32_t qelEventSendInitial(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                 void *userValue)
{
    return send(context, reply, handler, userValue, QELEvent_Initial, kNothing);
}

std::int32_t qelEventSendFinal(QELContext *context, QELEventReplyOut reply, QELEventHandler handler, void *userValue)
{
    return send(context, reply, handler, userValue, QELEvent_Final, kNothing);
}

std::int32_t qelEventSendError(QELContext *context, QELEventReplyOut reply, QELEventHandler handler, void *userValue,
                               QELStatus status, void *object)
{
    return send(context, reply, handler, userValue, QELEvent_Error, statusPayload(status, object));
}

std::int32_t qelEventSendWarning(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                 void *userValue, QELStatus code, void *object)
{
    return send(context, reply, handler, userValue, QELEvent_Warning, statusPayload(code, object));
}

std::int32_t qelEventSendEntropy(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                 void *userValue, std::int32_t bitsNeeded)
{
    return send(context, reply, handler, userValue, QELEvent_Entropy, [&](auto &d) { d.number.value = bitsNeeded; });
}

std::int32_t qelEventSendPassphrase(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                    void *userValue, bool conventional, QELKeySet *keys)
{
    return send(context, reply, handler, userValue, QELEvent_Passphrase, [&](auto &d) {
        d.passphrase.conventional = conventional ? 1 : 0;
        d.passphrase.keys = keys;
    });
}

std::int32_t qelEventSendAnalyze(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                 void *userValue, std::int32_t kind)
{
    return send(context, reply, handler, userValue, QELEvent_Analyze, [&](auto &d) { d.number.value = kind; });
}

std::int32_t qelEventSendRecipients(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                    void *userValue, QELKeySet *keys, std::int32_t conventionalCount,
                                    std::int32_t publicKeyCount, const QELKeyID *keyIDs)
{
    return send(context, reply, handler, userValue, QELEvent_Recipients, [&](auto &d) {
        d.recipients.keys = keys;
        d.recipients.conventionalCount = conventionalCount;
        d.recipients.publicKeyCount = publicKeyCount;
        d.recipients.keyIDs = keyIDs;
    });
}

std::int32_t qelEventSendKeysFound(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                   void *userValue, QELKeySet *keys)
{
    return send(context, reply, handler, userValue, QELEvent_KeysFound, [&](auto &d) { d.keysFound.keys = keys; });
}

std::int32_t qelEventSendOutput(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                void *userValue, std::int32_t type, const char *name, bool forYourEyesOnly)
{
    if (reply != nullptr)
        *reply = nullptr;
    if (handler == nullptr)
        return 0;
    char *safe = nullptr;
    std::size_t size = 0;
    if (name != nullptr) {
        size = std::strlen(name) + 1;
        safe = static_cast<char *>(qelMemAlloc(qelContextMemoryMgr(context), size, 0));
        if (safe != nullptr) {
            std::memcpy(safe, name, size);
            for (std::size_t i = 0; i + 1 < size; ++i)
                if (unsafeInFileName(static_cast<unsigned char>(safe[i])))
                    safe[i] = '_';
        }
    }
    std::int32_t status = send(context, reply, handler, userValue, QELEvent_Output, [&](auto &d) {
        d.output.type = type;
        d.output.name = safe;
        d.output.forYourEyesOnly = forYourEyesOnly ? 1 : 0;
    });
    if (safe != nullptr) {
        qelSecureWipe(safe, size);
        static_cast<void>(qelMemFree(safe));
    }
    return status;
}

std::int32_t qelEventSendSignature(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                   void *userValue, const QELEventSignature &signature)
{
    return send(context, reply, handler, userValue, QELEvent_Signature,
                [&](auto &d) { d.signature = signature; });
}

std::int32_t qelEventSendBeginSection(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                      void *userValue, std::int32_t section, std::uint64_t value)
{
    return send(context, reply, handler, userValue, QELEvent_BeginSection, [&](auto &d) {
        d.section.section = section;
        d.section.value = value;
    });
}

std::int32_t qelEventSendEndSection(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                    void *userValue, std::int32_t section)
{
    return send(context, reply, handler, userValue, QELEvent_EndSection, [&](auto &d) { d.number.value = section; });
}

std::int32_t qelEventSendDetachedSignature(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                           void *userValue)
{
    return send(context, reply, handler, userValue, QELEvent_DetachedSignature, kNothing);
}

std::int32_t qelEventSendKeyGen(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                void *userValue, std::int32_t value)
{
    return send(context, reply, handler, userValue, QELEvent_KeyGen, [&](auto &d) { d.number.value = value; });
}

std::int32_t qelEventSendDecryption(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                    void *userValue, std::int32_t algorithm, const std::uint8_t *sessionKey,
                                    std::uint64_t length)
{
    return send(context, reply, handler, userValue, QELEvent_Decryption,
                sessionKeyPayload(algorithm, sessionKey, length));
}

std::int32_t qelEventSendEncryption(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                    void *userValue, std::int32_t algorithm, const std::uint8_t *sessionKey,
                                    std::uint64_t length)
{
    return send(context, reply, handler, userValue, QELEvent_Encryption,
                sessionKeyPayload(algorithm, sessionKey, length));
}

std::int32_t qelEventSendKind18(QELContext *context, QELEventHandler handler, void *userValue, std::uint64_t value,
                                std::int32_t number)
{
    return send(context, nullptr, handler, userValue, QELEvent_Kind18, [&](auto &d) {
        d.values.value = value;
        d.values.number = number;
    });
}

std::int32_t qelEventSendKind19(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                void *userValue, std::uint64_t value)
{
    return send(context, reply, handler, userValue, QELEvent_Kind19, [&](auto &d) { d.values.value = value; });
}

std::int32_t qelEventSendKind20(QELContext *context, QELEventHandler handler, void *userValue, std::uint64_t value,
                                std::int32_t number, std::uint64_t value2)
{
    return send(context, nullptr, handler, userValue, QELEvent_Kind20, [&](auto &d) {
        d.values.value = value;
        d.values.number = number;
        d.values.value2 = value2;
    });
}
