// Shared helpers of the ASN.1 codec tests: contexts over counting or failing
// allocators, hex input, corpus files, and a schema-free BER to DER
// normaliser used to compare BER-decoded records with their DER form.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "asn1.h"
#include "qelTestEnv.h"

namespace asn1test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes hex(const std::string &text)
{
    Bytes out;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline Bytes fixture(const std::string &name)
{
    const std::string s = qeltest::readFile(std::string(QEL_SOURCE_DIR) + "/tests/asn1/data/" + name);
    return Bytes(s.begin(), s.end());
}

// An allocator that can fail its n-th allocation, counts live blocks, and
// can insist that every block is all zeros when it is released.
struct TestAllocator {
    ASN1Allocator base{};
    long failAt = -1; // index of the allocation that fails, -1 never
    long calls = 0;
    bool requireWiped = false;
    bool sawUnwiped = false;
    std::map<void *, std::uint64_t> live;

    TestAllocator()
    {
        base.userData = this;
        base.alloc = [](ASN1Allocator *self, std::uint64_t size) -> void * {
            auto *t = static_cast<TestAllocator *>(self->userData);
            if (t->calls++ == t->failAt)
                return nullptr;
            void *p = std::malloc(size);
            t->live[p] = size;
            return p;
        };
        base.realloc = [](ASN1Allocator *self, void **block, std::uint64_t size) -> std::int32_t {
            auto *t = static_cast<TestAllocator *>(self->userData);
            if (t->calls++ == t->failAt)
                return ASN1Error_OutOfMemory;
            void *p = std::realloc(*block, size);
            if (p == nullptr)
                return ASN1Error_OutOfMemory;
            t->live.erase(*block);
            t->live[p] = size;
            *block = p;
            return 0;
        };
        base.free = [](ASN1Allocator *self, void *block) -> std::int32_t {
            auto *t = static_cast<TestAllocator *>(self->userData);
            if (block == nullptr)
                return 0;
            auto it = t->live.find(block);
            if (t->requireWiped && it != t->live.end()) {
                const auto *b = static_cast<const std::uint8_t *>(block);
                for (std::uint64_t i = 0; i < it->second; ++i)
                    if (b[i] != 0)
                        t->sawUnwiped = true;
            }
            if (it != t->live.end())
                t->live.erase(it);
            std::free(block);
            return 0;
        };
    }
    TestAllocator(const TestAllocator &) = delete;
    TestAllocator &operator=(const TestAllocator &) = delete;
};

inline ASN1Context defaultContext()
{
    return ASN1Context{0, &asn1DefaultAllocator};
}

// Rewrites BER as DER without a schema: definite lengths everywhere and
// constructed universal strings joined into their primitive form. Enough to
// compare a BER input with the DER that its decoded records encode to.
class Normaliser {
public:
    static Bytes run(const Bytes &in)
    {
        Bytes out;
        std::size_t pos = 0;
        while (pos < in.size())
            element(in, pos, out);
        return out;
    }

private:
    static void length(Bytes &out, std::size_t n)
    {
        if (n < 128) {
            out.push_back(static_cast<std::uint8_t>(n));
            return;
        }
        Bytes b;
        for (; n != 0; n >>= 8)
            b.insert(b.begin(), static_cast<std::uint8_t>(n));
        out.push_back(static_cast<std::uint8_t>(0x80 | b.size()));
        out.insert(out.end(), b.begin(), b.end());
    }
    // Appends the normalised element at pos; returns its content octets when
    // it is a string (for joining).
    static Bytes element(const Bytes &in, std::size_t &pos, Bytes &out)
    {
        const std::uint8_t id = in.at(pos++);
        std::uint8_t first = in.at(pos++);
        bool indefinite = first == 0x80;
        std::size_t len = 0;
        if (first < 0x80) {
            len = first;
        } else if (!indefinite) {
            for (int k = first & 0x7F; k > 0; --k)
                len = (len << 8) | in.at(pos++);
        }
        if ((id & 0x20) == 0) {
            Bytes content(in.begin() + pos, in.begin() + pos + len);
            pos += len;
            out.push_back(id);
            length(out, content.size());
            out.insert(out.end(), content.begin(), content.end());
            return content;
        }
        const std::size_t end = indefinite ? SIZE_MAX : pos + len;
        Bytes inner;
        Bytes joined;
        const bool universalString = (id & 0xC0) == 0 && (id & 0x1F) != 16 && (id & 0x1F) != 17 &&
                                     (id & 0x1F) != 3;
        while (indefinite ? !(in.at(pos) == 0 && in.at(pos + 1) == 0) : pos < end) {
            Bytes piece = element(in, pos, inner);
            joined.insert(joined.end(), piece.begin(), piece.end());
        }
        if (indefinite)
            pos += 2;
        if (universalString) {
            out.push_back(static_cast<std::uint8_t>(id & ~0x20));
            length(out, joined.size());
            out.insert(out.end(), joined.begin(), joined.end());
            return joined;
        }
        out.push_back(id);
        length(out, inner.size());
        out.insert(out.end(), inner.begin(), inner.end());
        return {};
    }
};

} // namespace asn1test
