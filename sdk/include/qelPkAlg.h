/* Public-key data formats: the number every public-key size, encryption,
 * decryption, signing and verification operation takes to choose how values
 * are laid out and what is padded. */
#ifndef QEL_PKALG_H
#define QEL_PKALG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum QELPkFormat {
    /* RFC 4880 MPIs; an encrypted session key carries its checksum. */
    QELPkFormat_RFC4880 = 1,
    /* Fixed-size big-endian values; PKCS #1 v1.5 with a DigestInfo. */
    QELPkFormat_Raw = 2,
    /* DER INTEGERs (a SEQUENCE of two for ElGamal and DSA). */
    QELPkFormat_DER = 3,
    /* As Raw, but RSA signatures pad the bare digest. */
    QELPkFormat_RawNoDigestInfo = 4,
    /* As Raw, RSA encryption with OAEP and a parameter header. */
    QELPkFormat_OAEP = 5,
    /* Added to any of the above: RSA private operations are blinded. */
    QELPkFormat_Blinded = 100
};

#ifdef __cplusplus
}
#endif

#endif
