// Key import: RFC 4880 key material, armored or binary, into a new in-memory
// key database, and the X.509 forms through the PKI toolkit. The option list
// is lent for the call (the caller frees it).
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELKeyDB;
struct QELOptionList;

// The result is a database of its own: an import that fails at any point
// (a damaged second key, a bad armor checksum) yields no database and leaves
// every other database as it was.
[[nodiscard]] QELStatus qelKeyIOImportKeys(QELContext *context, QELKeyDB **outDB, QELOptionList *options);

// ---- filled by the PKI toolkit (sdk/pki/qelX509Keys.cpp) ----
// A PKCS #8 private key as a key of a new in-memory database; its
// certificate is looked for in keyDB (or every open database when null).
[[nodiscard]] QELStatus qelX509ImportPrivateKeyInfo(const std::uint8_t *der, std::size_t length,
                                                    QELContext *context, QELKeyDB *keyDB, QELKeyDB **outDB);
