/* FIPS mode and the self-tests, and the public utility operations on file
 * specifications. In FIPS mode every public SDK operation is refused until
 * the self-tests have been started, and for good after one has failed. */
#ifndef QEL_FIPS_H
#define QEL_FIPS_H

#include <stdint.h>

#include "qelContext.h"
#include "qelErrors.h"
#include "qelFileSpec.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Self-test kinds of qelFIPSRunSelfTest. */
enum QELSelfTestKind {
    QELSelfTest_Cipher = 1, /* cipher known-answer tests */
    QELSelfTest_DSA = 2,    /* DSA power-up test */
    QELSelfTest_None = 3,   /* does nothing */
};

/* Switches FIPS mode on for the rest of the process; 0. */
QEL_MUST_CHECK QEL_API QELStatus qelFIPSEnable(void);
QEL_API uint8_t qelFIPSModeEnabled(void);
QEL_API uint8_t qelFIPSSelfTestsStarted(void);
/* The latched self-test failure, 0 when none. */
QEL_MUST_CHECK QEL_API QELStatus qelFIPSGetError(void);
QEL_MUST_CHECK QEL_API QELStatus qelFIPSRunSelfTest(int32_t kind);
QEL_MUST_CHECK QEL_API QELStatus qelFIPSRunAllSelfTests(void);
/* Clears a latched failure and runs the self-tests again; returns the
 * latched error afterwards. */
QEL_MUST_CHECK QEL_API QELStatus qelFIPSRecheck(void);

/* File specifications. Each clears its out-parameters, refuses a null or
 * foreign specification or a missing required pointer with
 * QELError_BadParams and passes the API entry guard. */
/* Decodes a MacBinary II file into a new file; the creator and type codes
 * from its header go to the outs that are given. */
QEL_MUST_CHECK QEL_API QELStatus qelMacBinaryDecodeFile(const QELFileSpec *spec, QELFileSpec **outSpec,
                                                        uint32_t *outCreator, uint32_t *outType);
/* The path in a new guarded block of the spec's own manager (qelMemFree). */
QEL_MUST_CHECK QEL_API QELStatus qelFileSpecGetFullPath(const QELFileSpec *spec, char **outPath);
QEL_MUST_CHECK QEL_API QELStatus qelNewFileSpecFromFullPath(QELContext *context, const char *path,
                                                            QELFileSpec **outSpec);
QEL_MUST_CHECK QEL_API QELStatus qelDeleteFile(const QELFileSpec *spec);
QEL_MUST_CHECK QEL_API QELStatus qelRenameFile(QELFileSpec *spec, const char *newName);
QEL_MUST_CHECK QEL_API QELStatus qelFreeFileSpec(QELFileSpec *spec);
QEL_MUST_CHECK QEL_API QELStatus qelCopyFileSpec(const QELFileSpec *spec, QELFileSpec **outCopy);

#ifdef __cplusplus
}
#endif

#endif
