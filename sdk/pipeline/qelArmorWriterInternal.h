// The ASCII Armor Write Module: RFC 4880 armor in one or several numbered
// parts, clear-signed text with dash escaping, the RFC 3156 security
// multiparts and PEM blocks.
#pragma once
#include "qelArmorCodecInternal.h"
#include "qelByteFifoInternal.h"
#include "qelPipeModuleInternal.h"

struct QELSettings;
struct QELRandomContext;
struct QELArmorWriter;

enum QELArmorKind : std::int32_t {
    QELArmorKind_Auto = 0,
    QELArmorKind_ClearSignedText = 10,
    QELArmorKind_Signature = 20,
    QELArmorKind_Message = 21,
    QELArmorKind_MimeSignedText = 30,
    QELArmorKind_MimeEncrypted = 40,
    QELArmorKind_MimeSignature = 50,
};

// Identification text written as "Version:" when no version text is set.
inline constexpr char QELArmorDefaultVersionText[] = "QELsdk 2.5";

QELPipeModule **qelArmorWriterCreate(QELContext *context, QELPipeModule **slot, QELArmorWriter **outWriter,
                                     const QELSettings *settings, std::int32_t packetVersion,
                                     const QELFifoDescriptor *fifoKind, QELRandomContext *random,
                                     std::uint64_t linesPerPart, std::int32_t kind,
                                     const std::uint8_t *hashIds, std::uint32_t idCount);

QELPipeModule **qelArmorWriterCreateByType(QELContext *context, QELPipeModule **slot, const QELSettings *settings,
                                           const QELFifoDescriptor *fifoKind, QELRandomContext *random,
                                           std::int32_t packetVersion, std::int32_t type);

QELPipeModule **qelArmorClearSignedCreate(QELPipeModule **textSlot, QELPipeModule **signatureSlot,
                                          const QELSettings *settings, const QELFifoDescriptor *fifoKind,
                                          std::int32_t packetVersion, const std::uint8_t *hashIds,
                                          std::uint32_t idCount);

QELPipeModule **qelArmorMimeSignedCreate(QELPipeModule **headSlot, QELPipeModule **signatureSlot,
                                         const QELSettings *settings, const QELFifoDescriptor *fifoKind,
                                         QELRandomContext *random, std::int32_t packetVersion,
                                         const std::uint8_t *hashIds, std::uint32_t idCount);
