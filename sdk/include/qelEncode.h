/* The encode job: turns an input (a caller's buffer) into an RFC 4880
   message, optionally compressed and encrypted under a passphrase, driven by
   option lists ending with qelOptionLastOption. */
#ifndef QEL_ENCODE_H
#define QEL_ENCODE_H

#include "qelContext.h"
#include "qelErrors.h"
#include "qelOptionList.h"

#ifdef __cplusplus
extern "C" {
#endif

QEL_MUST_CHECK QEL_API QELStatus qelEncode(QELContext *context, QELOptionList *first, ...);

#ifdef __cplusplus
}
#endif

#endif
