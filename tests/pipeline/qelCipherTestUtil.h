// Shared by the cipher-module and session-key suites: GnuPG in a private
// home, a small packet cutter (the message parser is not part of these
// suites), and the steps the parser takes to open an encrypted packet.
#pragma once

#include "qelCFBInternal.h"
#include "qelCipherModuleInternal.h"
#include "qelContext.h"
#include "qelMemory.h"
#include "qelPipeTestModule.h"
#include "qelSymmetricCipherInternal.h"
#include "qelTestEnv.h"
#include "qelVarMemoryModuleInternal.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace ciphertest {

using Bytes = std::string;

inline const std::uint8_t *u8(const Bytes &b) { return reinterpret_cast<const std::uint8_t *>(b.data()); }

inline Bytes pattern(std::size_t n, unsigned seed = 1)
{
    Bytes s(n, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = char(x >> 24);
    }
    return s;
}

// GnuPG in a temporary home, batch mode with loopback pinentry.
class Gpg {
public:
    Gpg() : home_("qelgpg") { ::chmod(home_.path().c_str(), 0700); }
    ~Gpg() { std::system(("gpgconf --homedir '" + home_.path() + "' --kill all >/dev/null 2>&1").c_str()); }
    std::string file(const std::string &name) const { return home_ / name; }
    void put(const std::string &name, const Bytes &bytes) const { qeltest::writeFile(file(name), bytes); }
    Bytes get(const std::string &name) const { return qeltest::readFile(file(name)); }
    // Runs gpg with the arguments; its exit status.
    int run(const std::string &args) const
    {
        std::string cmd = "gpg --homedir '" + home_.path() +
                          "' --batch --pinentry-mode loopback --yes --no-tty --quiet " + args + " >'" +
                          file("gpg.out") + "' 2>'" + file("gpg.err") + "'";
        int rc = std::system(cmd.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    Bytes errors() const { return get("gpg.err"); }

private:
    qeltest::TempDir home_;
};

// One packet: its tag and whole body (partial lengths joined).
struct Packet {
    int tag = -1;
    Bytes body;
};

inline std::vector<Packet> cutPackets(const Bytes &in)
{
    std::vector<Packet> out;
    std::size_t pos = 0;
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(in[i]); };
    while (pos < in.size()) {
        std::uint8_t ctb = byte(pos++);
        Packet p;
        if (!(ctb & 0x80))
            return out;
        if (ctb & 0x40) {
            p.tag = ctb & 0x3F;
            for (;;) {
                if (pos >= in.size())
                    return out;
                std::uint8_t a = byte(pos++);
                std::size_t len = 0;
                bool partial = false;
                if (a < 192) {
                    len = a;
                } else if (a < 224) {
                    len = ((a - 192) << 8) + byte(pos++) + 192;
                } else if (a == 255) {
                    len = std::size_t(byte(pos)) << 24 | std::size_t(byte(pos + 1)) << 16 |
                          std::size_t(byte(pos + 2)) << 8 | byte(pos + 3);
                    pos += 4;
                } else {
                    len = std::size_t{1} << (a & 0x1F);
                    partial = true;
                }
                p.body += in.substr(pos, len);
                pos += len;
                if (!partial)
                    break;
            }
        } else {
            p.tag = (ctb >> 2) & 0x0F;
            int type = ctb & 3;
            std::size_t len = 0;
            if (type == 3) {
                len = in.size() - pos;
            } else {
                int n = 1 << type;
                for (int i = 0; i < n; ++i)
                    len = len << 8 | byte(pos++);
            }
            p.body = in.substr(pos, len);
            pos += len;
        }
        out.push_back(p);
    }
    return out;
}

inline const Packet *findPacket(const std::vector<Packet> &packets, int tag)
{
    for (const Packet &p : packets)
        if (p.tag == tag)
            return &p;
    return nullptr;
}

// The data of the literal packet in a run of packets; "?" when there is none.
inline Bytes literalData(const Bytes &packets)
{
    const auto list = cutPackets(packets);
    const Packet *lit = findPacket(list, 11);
    if (lit == nullptr || lit->body.size() < 6)
        return "?";
    std::size_t nameLength = static_cast<std::uint8_t>(lit->body[1]);
    return lit->body.substr(2 + nameLength + 4);
}

// What the parser learns from opening an encrypted packet.
struct Opened {
    QELStatus status = 0;
    bool quickCheck = false;
    Bytes plain;           // what the decryption module passed on
    bool mdcMatches = false;
    std::uint64_t mdcSize = 0;
    Bytes trailer;
};

// Opens a tag 9 or tag 18 body with a key block (algorithm octet, key) the way
// the message parser does, writing the rest of the body in pieces of `piece`.
// `piece`: the size of the writes into the module; `takeAtMost`: what its
// downstream takes of each write (all of it by default); `firstPiece`: the
// size of the first write, when not 0.
inline Opened openEncrypted(QELContext *context, int tag, const Bytes &body, const std::uint8_t *keyBlock,
                            std::size_t piece = 4096, std::uint64_t takeAtMost = ~std::uint64_t{0},
                            std::size_t firstPiece = 0)
{
    Opened o;
    const QELCipherDescriptor *d = qelCipherDescriptorFind(keyBlock[0]);
    EXPECT_NE(d, nullptr);
    if (d == nullptr)
        return o;
    const std::size_t bs = d->blockSize;
    QELCFBContext *cfb = qelCFBCreateForDescriptor(qelContextGetMemoryMgr(context), d);
    EXPECT_NE(cfb, nullptr);
    EXPECT_EQ(qelCFBInit(cfb, keyBlock + 1, nullptr), 0);
    const bool mdc = tag == 18;
    const std::size_t start = mdc ? 1 : 0;
    if (body.size() < start + bs + 2 || (mdc && body[0] != 1)) {
        static_cast<void>(qelCFBFree(cfb));
        o.status = QELError_BadPacketFormat;
        return o;
    }
    std::uint8_t prefix[18];
    EXPECT_EQ(qelCFBDecryptInternal(cfb, u8(body) + start, bs + 2, prefix), 0);
    o.quickCheck = prefix[bs - 2] == prefix[bs] && prefix[bs - 1] == prefix[bs + 1];
    if (!mdc) {
        EXPECT_EQ(qelCFBSync(cfb), 0);
    }
    QELPipeModule *head = nullptr;
    QELPipeModule **slot = qelCipherDecryptModuleCreate(context, &head, cfb, nullptr, mdc ? 1 : 0, prefix);
    EXPECT_NE(slot, nullptr);
    if (slot == nullptr)
        return o;
    pipetest::Record slow;
    slow.takeAtMost = takeAtMost;
    if (takeAtMost != ~std::uint64_t{0})
        *slot = pipetest::makeRecorder(context, &slow);
    else
        EXPECT_NE(qelVarMemoryModuleCreatePlain(context, slot, QELVarMemoryNoLimit), nullptr);
    const Bytes rest = body.substr(start + bs + 2);
    for (std::size_t at = 0, n = firstPiece != 0 ? firstPiece : piece; at < rest.size() && o.status == 0;
         at += n, n = piece)
        o.status = qelPipeWriteAll(head, u8(rest) + at, std::min(n, rest.size() - at));
    if (o.status == 0)
        o.status = qelPipeExpectBytes(head, 0);
    EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_MdcSize, &o.mdcSize, 8), 0);
    std::uint8_t digest[20];
    std::uint8_t trailer[22];
    EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_MdcHash, digest, sizeof digest), 0);
    EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_MdcTrailer, trailer, sizeof trailer), 0);
    o.trailer.assign(reinterpret_cast<char *>(trailer), sizeof trailer);
    o.mdcMatches = mdc && trailer[0] == 0xD3 && trailer[1] == 0x14 && std::memcmp(trailer + 2, digest, 20) == 0;
    if (takeAtMost != ~std::uint64_t{0}) {
        o.plain = slow.bytes;
        qelPipeDestroy(head);
        return o;
    }
    std::uint64_t total = 0;
    void *buffer = nullptr;
    EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_QueryTotal, &total, 8), 0);
    EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer), 0);
    if (buffer != nullptr) {
        o.plain.assign(static_cast<const char *>(buffer), total);
        EXPECT_EQ(qelMemFree(buffer), 0);
    }
    qelPipeDestroy(head);
    return o;
}

} // namespace ciphertest
