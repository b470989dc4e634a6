/* The decode job: reads an RFC 4880 message (armored or binary, a file or a
   caller's buffer), decrypts, decompresses and verifies it and writes its
   content to the outputs its options or its event handler choose, driven
   by option lists ending with qelOptionLastOption. */
#ifndef QEL_DECODE_H
#define QEL_DECODE_H

#include "qelContext.h"
#include "qelErrors.h"
#include "qelOptionList.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The option kind of qelOptionDecompressionLimit. */
#define QELOption_DecompressionLimit 200

QEL_MUST_CHECK QEL_API QELStatus qelDecode(QELContext *context, QELOptionList *first, ...);

/* The most content bytes a decode run writes before it stops with
   QELError_DecompressionLimit. Without this option a run stops once its
   content passes 1 GiB and 1000 times the input read so far. */
QEL_MUST_CHECK QEL_API QELOptionList *qelOptionDecompressionLimit(QELContext *context, uint64_t maxBytes);

#ifdef __cplusplus
}
#endif

#endif
