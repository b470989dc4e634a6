// MD2 (RFC 1319, with the corrected checksum step: each checksum byte is
// XORed with the S-box output).
#include "qelMD2Internal.h"

#include <cstring>

namespace {

// The permutation of 0..255 built from the digits of pi (RFC 1319).
constexpr std::uint8_t kPiSubst[256] = {
    41,  46,  67,  201, 162, 216, 124, 1,   61,  54,  84,  161, 236, 240, 6,   19,
    98,  167, 5,   243, 192, 199, 115, 140, 152, 147, 43,  217, 188, 76,  130, 202,
    30,  155, 87,  60,  253, 212, 224, 22,  103, 66,  111, 24,  138, 23,  229, 18,
    190, 78,  196, 214, 218, 158, 222, 73,  160, 251, 245, 142, 187, 47,  238, 122,
    169, 104, 121, 145, 21,  178, 7,   63,  148, 194, 16,  137, 11,  34,  95,  33,
    128, 127, 93,  154, 90,  144, 50,  39,  53,  62,  204, 231, 191, 247, 151, 3,
    255, 25,  48,  179, 72,  165, 181, 209, 215, 94,  146, 42,  172, 86,  170, 198,
    79,  184, 56,  210, 150, 164, 125, 182, 118, 252, 107, 226, 156, 116, 4,   241,
    69,  157, 112, 89,  100, 113, 135, 32,  134, 91,  207, 101, 230, 45,  168, 2,
    27,  96,  37,  173, 174, 176, 185, 246, 28,  70,  97,  105, 52,  64,  126, 15,
    85,  71,  163, 35,  221, 81,  175, 58,  195, 92,  249, 206, 186, 197, 234, 38,
    44,  83,  13,  110, 133, 40,  132, 9,   211, 223, 205, 244, 65,  129, 77,  82,
    106, 220, 55,  200, 108, 193, 171, 250, 36,  225, 123, 8,   12,  189, 177, 74,
    120, 136, 149, 139, 227, 99,  232, 109, 233, 203, 213, 254, 59,  0,   29,  57,
    242, 239, 183, 14,  102, 88,  208, 228, 166, 119, 114, 248, 235, 117, 75,  10,
    49,  68,  80,  180, 143, 237, 31,  26,  219, 153, 141, 51,  159, 17,  131, 20};

// The 18-round transformation of the 48-byte work block, whose middle 16
// bytes hold the message block.
void md2Transform(std::uint8_t *work)
{
    for (int j = 0; j < 16; ++j)
        work[32 + j] = static_cast<std::uint8_t>(work[16 + j] ^ work[j]);
    unsigned t = 0;
    for (unsigned round = 0; round < 18; ++round) {
        for (int k = 0; k < 48; ++k)
            t = work[k] ^= kPiSubst[t];
        t = (t + round) & 0xff;
    }
}

void md2Checksum(std::uint8_t *checksum, const std::uint8_t *block)
{
    std::uint8_t last = checksum[15];
    for (int j = 0; j < 16; ++j)
        last = checksum[j] ^= kPiSubst[block[j] ^ last];
}

} // namespace

void qelMD2Init(void *state)
{
    std::memset(state, 0, sizeof(QELMD2State));
}

void qelMD2Update(void *state, const void *data, std::uint64_t length)
{
    auto *s = static_cast<QELMD2State *>(state);
    const auto *in = static_cast<const std::uint8_t *>(data);
    while (length > 0) {
        std::uint32_t used = s->count & 15;
        std::uint32_t take = 16 - used;
        if (length < take)
            take = static_cast<std::uint32_t>(length);
        std::memcpy(s->work + 16 + used, in, take);
        s->count += take;
        in += take;
        length -= take;
        if ((s->count & 15) == 0) {
            md2Checksum(s->checksum, s->work + 16);
            md2Transform(s->work);
        }
    }
}

const std::uint8_t *qelMD2Final(void *state)
{
    auto *s = static_cast<QELMD2State *>(state);
    std::uint8_t pad[16];
    std::uint32_t n = 16 - (s->count & 15);
    std::memset(pad, static_cast<int>(n), n);
    qelMD2Update(s, pad, n);
    std::memcpy(s->work + 16, s->checksum, 16);
    md2Transform(s->work);
    return s->work;
}
