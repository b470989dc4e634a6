// A certificate subject given as a flat list of numbered attributes, turned
// into distinguished-name text, a DER Name and DER Extensions
// (subjectAltName and extensions passed through) for requests and issued
// certificates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "asn1PKIX.h"
#include "qelContext.h"
#include "qelErrors.h"
#include "qelMemory.h"
#include "qelCertAttributeInternal.h"
#include "qelPKIContextInternal.h"

// The request class that issuing a certificate renders with; CA requests
// use 11000 and above, and 11003 and 11004 change the rendering.
inline constexpr std::int32_t kQELCertClassIssue = 10000;

// The subject text in a new zero-terminated block of the memory manager
// (freed with qelMemFree); every value is escaped so that it reads back as
// one attribute value. An attribute list that renders nothing gives "".
[[nodiscard]] QELStatus qelDNTextFromAttributes(QELMemoryMgr *mgr, std::int32_t requestClass,
                                                const QELCertAttribute *attributes, std::uint32_t count,
                                                char **outText);
// Appends keyword=escaped value and the separator to the growing text.
[[nodiscard]] QELStatus qelDNAppendAttribute(QELMemoryMgr *mgr, const char *separator, const char *keyword,
                                             const std::uint8_t *value, std::uint64_t length, char **inOutText,
                                             std::size_t *inOutSize);
// DER Name of DN text, in a new block of the context's memory manager.
[[nodiscard]] QELStatus qelDNTextToDER(QELContext *context, const char *text, std::uint8_t **outDER,
                                       std::uint64_t *outLength);
[[nodiscard]] QELStatus qelDNFromAttributes(QELContext *context, const QELCertAttribute *attributes,
                                            std::uint32_t count, std::uint8_t **outDER, std::uint64_t *outLength);
// DER Extensions of the attributes (null and 0 when they yield none).
[[nodiscard]] QELStatus qelExtensionsFromAttributes(QELContext *context, const QELCertAttribute *attributes,
                                                    std::uint32_t count, std::uint8_t **outDER,
                                                    std::uint64_t *outLength);
// Appends the passed-through extensions, then one subjectAltName of the
// alternative names, to the record.
[[nodiscard]] QELStatus qelBuildAttributeExtensions(const QELCertAttribute *attributes, std::uint32_t count,
                                                    QELPKIContext *context, ASN1_Extensions *extensions);
[[nodiscard]] QELStatus qelAddGeneralName(ASN1Context *codec, std::int32_t alternative, const std::uint8_t *value,
                                          std::uint64_t length, ASN1_GeneralNames *names);
