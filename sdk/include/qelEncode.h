/* The encode job: turns an input (a file or a caller's buffer) into an
   RFC 4880 message, optionally signed (attached, detached or clear-signed),
   compressed, encrypted to public keys and/or a passphrase, armored or
   MIME-wrapped, driven by option lists ending with qelOptionLastOption. */
#ifndef QEL_ENCODE_H
#define QEL_ENCODE_H

#include "qelContext.h"
#include "qelErrors.h"
#include "qelOptionList.h"

/* The boundary buffer given with qelOptionMimeEncoding receives at most
   this many bytes, its terminating NUL included. */
#define QEL_MIME_BOUNDARY_SIZE 81

#ifdef __cplusplus
extern "C" {
#endif

QEL_MUST_CHECK QEL_API QELStatus qelEncode(QELContext *context, QELOptionList *first, ...);

#ifdef __cplusplus
}
#endif

#endif
