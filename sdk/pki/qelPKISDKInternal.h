// The toolkit bound to the SDK: a toolkit context over an SDK context's
// memory manager, and the callbacks that digest, sign, verify and encrypt
// with the SDK's hashes, ciphers and keys of the key database.
#pragma once

#include <cstddef>
#include <cstdint>

#include "asn1PKCS7.h"
#include "asn1PKIX.h"
#include "qelContext.h"
#include "qelErrors.h"
#include "qelPKIContextInternal.h"
#include "qelPKIPKCS7Internal.h"
#include "qelX509KeysInternal.h"

struct QELKeyObject;
struct QELOptionList;

// A toolkit context for one call over the context's memory manager, with
// its own allocator record (no process-wide record that concurrent callers
// would overwrite). get() is null when it could not be made.
class QELPKISDKToolkit {
public:
    explicit QELPKISDKToolkit(QELContext *context, QELPKISignCallback sign = nullptr, void *signData = nullptr)
    {
        qelPKISDKAllocatorInit(&allocator_, qelContextGetMemoryMgr(context));
        if (qelPKIContextNew(&toolkit_, &allocator_, sign, signData, nullptr, nullptr) != 0)
            toolkit_ = nullptr;
    }
    QELPKISDKToolkit(const QELPKISDKToolkit &) = delete;
    QELPKISDKToolkit &operator=(const QELPKISDKToolkit &) = delete;
    ~QELPKISDKToolkit()
    {
        if (toolkit_ != nullptr)
            static_cast<void>(qelPKIContextFree(toolkit_));
    }
    QELPKIContext *get() const { return toolkit_; }
    ASN1Context *codec() const { return toolkit_->codec; }

private:
    ASN1Allocator allocator_{};
    QELPKIContext *toolkit_ = nullptr;
};
