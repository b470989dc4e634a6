// The armor codecs work on whole groups through precomputed tables: encoding
// takes three bytes per step (two 12-bit lookups), decoding four characters
// per step (four pre-shifted 24-bit lookups ORed together, a set top bit
// marking a character outside the alphabet), so no per-character call or
// branch sits in the inner loops.
#include "qelArmorCodecInternal.h"

#include <array>
#include <cstring>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint32_t, 256> makeCrcTable()
{
    std::array<std::uint32_t, 256> t{};
    t[0] = 0;
    t[1] = QELArmorCrc24Poly;
    std::uint32_t r = QELArmorCrc24Poly;
    for (unsigned k = 2; k <= 128; k <<= 1) {
        r <<= 1;
        if (r & 0x1000000)
            r ^= QELArmorCrc24Poly;
        for (unsigned i = 0; i < k; ++i)
            t[k + i] = t[i] ^ r;
    }
    return t;
}
constexpr auto kCrcTable = makeCrcTable();

// The same CRC held in the top 24 bits of a 32-bit word, eight bytes per
// step: table k gives the effect of a byte followed by k zero bytes.
constexpr std::array<std::array<std::uint32_t, 256>, 8> makeSliceTables()
{
    std::array<std::array<std::uint32_t, 256>, 8> t{};
    for (unsigned i = 0; i < 256; ++i)
        t[0][i] = kCrcTable[i] << 8;
    for (unsigned k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
    return t;
}
constexpr auto kCrcSlices = makeSliceTables();

inline std::uint32_t loadBe32(const std::uint8_t *p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// Two characters for every 12-bit value, high character first.
constexpr std::array<std::uint16_t, 4096> makePairTable()
{
    std::array<std::uint16_t, 4096> t{};
    for (unsigned v = 0; v < 4096; ++v) {
        const auto hi = static_cast<std::uint8_t>(kAlphabet[v >> 6]);
        const auto lo = static_cast<std::uint8_t>(kAlphabet[v & 63]);
        // stored in memory order: hi then lo
        t[v] = static_cast<std::uint16_t>(hi | (lo << 8));
    }
    return t;
}
constexpr auto kPairs = makePairTable();

constexpr std::array<std::uint8_t, 256> makeValueTable()
{
    std::array<std::uint8_t, 256> t{};
    for (auto &v : t)
        v = 0xFF;
    for (unsigned i = 0; i < 64; ++i)
        t[static_cast<std::uint8_t>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    return t;
}
constexpr auto kValue = makeValueTable();

// Character at position p of a quad, its value shifted into place; an
// invalid character sets bit 31.
constexpr std::array<std::uint32_t, 256> makeShifted(int shift)
{
    std::array<std::uint32_t, 256> t{};
    for (unsigned c = 0; c < 256; ++c)
        t[c] = kValue[c] == 0xFF ? 0x80000000u : static_cast<std::uint32_t>(kValue[c]) << shift;
    return t;
}
constexpr auto kD0 = makeShifted(18);
constexpr auto kD1 = makeShifted(12);
constexpr auto kD2 = makeShifted(6);
constexpr auto kD3 = makeShifted(0);

inline std::uint32_t quadValue(const std::uint8_t *s)
{
    return kD0[s[0]] | kD1[s[1]] | kD2[s[2]] | kD3[s[3]];
}

// Length of the padding marker at s (one "=" or its quoted-printable "=3D"),
// 0 when there is none within the n characters available.
std::size_t padAt(const char *s, std::size_t n)
{
    if (n >= 3 && s[0] == '=' && s[1] == '3' && s[2] == 'D')
        return 3;
    if (n >= 1 && s[0] == '=')
        return 1;
    return 0;
}

} // namespace

std::uint32_t qelArmorCrc24(std::uint32_t crc, const std::uint8_t *bytes, std::size_t count)
{
    std::uint32_t c = (crc & 0xFFFFFF) << 8;
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const std::uint32_t a = c ^ loadBe32(bytes + i);
        const std::uint32_t b = loadBe32(bytes + i + 4);
        c = kCrcSlices[7][a >> 24] ^ kCrcSlices[6][(a >> 16) & 0xFF] ^ kCrcSlices[5][(a >> 8) & 0xFF] ^
            kCrcSlices[4][a & 0xFF] ^ kCrcSlices[3][b >> 24] ^ kCrcSlices[2][(b >> 16) & 0xFF] ^
            kCrcSlices[1][(b >> 8) & 0xFF] ^ kCrcSlices[0][b & 0xFF];
    }
    for (; i < count; ++i)
        c = (c << 8) ^ kCrcSlices[0][(c >> 24) ^ bytes[i]];
    return c >> 8;
}

std::size_t qelBase64Encode(const std::uint8_t *bytes, std::size_t count, char *output)
{
    auto *out = reinterpret_cast<std::uint8_t *>(output);
    std::size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        std::memcpy(out, &kPairs[v >> 12], 2);
        std::memcpy(out + 2, &kPairs[v & 0xFFF], 2);
        out += 4;
    }
    if (const std::size_t rest = count - i; rest != 0) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (rest == 2 ? std::uint32_t{bytes[i + 1]} << 8 : 0);
        out[0] = static_cast<std::uint8_t>(kAlphabet[v >> 18]);
        out[1] = static_cast<std::uint8_t>(kAlphabet[(v >> 12) & 63]);
        out[2] = rest == 2 ? static_cast<std::uint8_t>(kAlphabet[(v >> 6) & 63]) : '=';
        out[3] = '=';
        out += 4;
    }
    return static_cast<std::size_t>(out - reinterpret_cast<std::uint8_t *>(output));
}

void qelBase64InitDecodeTable() {}

std::uint8_t qelBase64Value(std::uint8_t c) { return kValue[c]; }

int qelBase64DecodeQuad(const char *quad, std::uint8_t *output)
{
    const auto *s = reinterpret_cast<const std::uint8_t *>(quad);
    int valid = 0;
    std::uint32_t v = 0;
    while (valid < 4 && kValue[s[valid]] != 0xFF) {
        v |= std::uint32_t{kValue[s[valid]]} << (18 - 6 * valid);
        ++valid;
    }
    if (valid >= 2)
        output[0] = static_cast<std::uint8_t>(v >> 16);
    if (valid >= 3)
        output[1] = static_cast<std::uint8_t>(v >> 8);
    if (valid == 4)
        output[2] = static_cast<std::uint8_t>(v);
    return valid;
}

std::int64_t qelBase64DecodeRun(const char *chars, std::uint8_t *output, std::size_t count)
{
    const auto *s = reinterpret_cast<const std::uint8_t *>(chars);
    std::uint8_t *out = output;
    std::size_t i = 0;
    // Whole valid groups, unrolled over four groups at a time.
    while (i + 16 <= count) {
        const std::uint32_t a = quadValue(s + i), b = quadValue(s + i + 4), c = quadValue(s + i + 8),
                            d = quadValue(s + i + 12);
        if ((a | b | c | d) & 0x80000000u)
            break;
        out[0] = static_cast<std::uint8_t>(a >> 16), out[1] = static_cast<std::uint8_t>(a >> 8),
        out[2] = static_cast<std::uint8_t>(a);
        out[3] = static_cast<std::uint8_t>(b >> 16), out[4] = static_cast<std::uint8_t>(b >> 8),
        out[5] = static_cast<std::uint8_t>(b);
        out[6] = static_cast<std::uint8_t>(c >> 16), out[7] = static_cast<std::uint8_t>(c >> 8),
        out[8] = static_cast<std::uint8_t>(c);
        out[9] = static_cast<std::uint8_t>(d >> 16), out[10] = static_cast<std::uint8_t>(d >> 8),
        out[11] = static_cast<std::uint8_t>(d);
        out += 12;
        i += 16;
    }
    while (i + 4 <= count) {
        const std::uint32_t v = quadValue(s + i);
        if (v & 0x80000000u)
            break;
        out[0] = static_cast<std::uint8_t>(v >> 16), out[1] = static_cast<std::uint8_t>(v >> 8),
        out[2] = static_cast<std::uint8_t>(v);
        out += 3;
        i += 4;
    }
    if (i == count)
        return out - output;
    // The closing group: two or three characters followed by padding.
    const std::size_t left = count - i;
    std::size_t valid = 0;
    while (valid < 3 && valid < left && kValue[s[i + valid]] != 0xFF)
        ++valid;
    if (valid < 2)
        return -1;
    std::size_t pos = i + valid;
    const std::size_t pads = 4 - valid;
    for (std::size_t p = 0; p < pads; ++p) {
        const std::size_t n = padAt(chars + pos, count - pos);
        if (n == 0)
            return -1;
        pos += n;
    }
    if (pos != count)
        return -1;
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < valid; ++k)
        v |= std::uint32_t{kValue[s[i + k]]} << (18 - 6 * k);
    out[0] = static_cast<std::uint8_t>(v >> 16);
    if (valid == 3)
        out[1] = static_cast<std::uint8_t>(v >> 8);
    out += valid - 1;
    return out - output;
}
