/* File specifications: a file named by kind (a Unix full path here). The
 * public operations on them are declared with FIPS mode (qelFIPS.h). */
#ifndef QEL_FILE_SPEC_H
#define QEL_FILE_SPEC_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELFileSpec QELFileSpec;

#ifdef __cplusplus
}
#endif

#endif
