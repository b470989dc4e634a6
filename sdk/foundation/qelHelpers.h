// Helpers every SDK module shares: an owning handle, a wiped scratch buffer,
// the prologue of a guarded public call and a bounded byte cursor. Internal:
// applications never see this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>

#include "qelErrors.h"
#include "qelFIPSInternal.h"
#include "qelMemoryInternal.h"
#include "qelWipe.h"

namespace qel {

// ---- owning handle ---------------------------------------------------------
// Owned<T, release> frees its object with the module's own release function
// on every exit; release() hands it back to the caller. The release function's
// status has nowhere to go from a destructor and is dropped on purpose.
template <auto Release>
struct ReleaseWith {
    template <typename T>
    void operator()(T *p) const noexcept
    {
        if (p != nullptr)
            static_cast<void>(Release(p));
    }
};

template <typename T, auto Release>
using Owned = std::unique_ptr<T, ReleaseWith<Release>>;

// ---- wiped scratch buffer --------------------------------------------------
// A guarded block of count elements from a memory manager (secure when asked),
// wiped and freed on every exit. get() is null when memory failed.
template <typename T>
class WipedBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    WipedBuffer() = default;
    WipedBuffer(QELMemoryMgr *mgr, std::size_t count, bool secure = true) { reset(mgr, count, secure); }
    WipedBuffer(const WipedBuffer &) = delete;
    WipedBuffer &operator=(const WipedBuffer &) = delete;
    WipedBuffer(WipedBuffer &&other) noexcept : p_(other.p_), count_(other.count_)
    {
        other.p_ = nullptr;
        other.count_ = 0;
    }
    WipedBuffer &operator=(WipedBuffer &&other) noexcept
    {
        if (this != &other) {
            release();
            p_ = other.p_;
            count_ = other.count_;
            other.p_ = nullptr;
            other.count_ = 0;
        }
        return *this;
    }
    ~WipedBuffer() { release(); }

    // Replaces the buffer with a new one of count elements (at least one is
    // allocated so that a zero count still gives a usable pointer).
    bool reset(QELMemoryMgr *mgr, std::size_t count, bool secure = true)
    {
        release();
        if (count > (std::size_t{1} << 30) / sizeof(T))
            return false;
        std::size_t bytes = (count ? count : 1) * sizeof(T);
        void *p = secure ? qelMemAllocSecure(mgr, bytes, 0) : qelMemAlloc(mgr, bytes, 0);
        if (p == nullptr)
            return false;
        std::memset(p, 0, bytes);
        p_ = static_cast<T *>(p);
        count_ = count;
        return true;
    }
    void release() noexcept
    {
        if (p_ != nullptr) {
            qelSecureWipe(p_, (count_ ? count_ : 1) * sizeof(T));
            static_cast<void>(qelMemFree(p_));   // a block we allocated ourselves
        }
        p_ = nullptr;
        count_ = 0;
    }

    T *get() const { return p_; }
    T *data() const { return p_; }
    std::size_t size() const { return count_; }
    std::span<T> span() const { return {p_, count_}; }
    T &operator[](std::size_t i) const { return p_[i]; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T *p_ = nullptr;
    std::size_t count_ = 0;
};

// ---- guarded public-call prologue ------------------------------------------
// Clears every out-parameter that is given, then passes the API entry guard.
// The handle checks of the operation follow in the order it documents.
template <typename T>
inline void clearOut(T *out)
{
    if (out != nullptr)
        *out = T{};
}

template <typename... Outs>
[[nodiscard]] inline QELStatus enterPublic(const char *file, int line, Outs *...outs)
{
    (clearOut(outs), ...);
    return qelAPIGate(file, line);
}

// QEL_ENTER(out1, out2, ...) returns from the calling function with the
// guard's status when it refuses.
#define QEL_ENTER(...)                                                          \
    do {                                                                        \
        QELStatus qelEnterStatus_ = ::qel::enterPublic(__FILE__, __LINE__ __VA_OPT__(,) __VA_ARGS__); \
        if (qelEnterStatus_ != 0)                                               \
            return qelEnterStatus_;                                             \
    } while (0)

// ---- no exception across a public call --------------------------------------
// Runs fn, which returns a status, and answers QELError_OutOfMemory when a
// standard container inside it could not get its memory (and
// QELError_Unavailable for any other exception): no C++ exception leaves
// the SDK.
template <typename Fn>
[[nodiscard]] QELStatus noThrow(Fn &&fn) noexcept
{
    try {
        return fn();
    } catch (const std::bad_alloc &) {
        return QELError_OutOfMemory;
    } catch (const std::length_error &) {
        return QELError_OutOfMemory;
    } catch (...) {
        return QELError_Unavailable;
    }
}

// ---- bounded byte cursor ---------------------------------------------------
// Reads a byte span front to back. Every read checks what remains first and,
// when the input is too short, fails without moving or writing its output, so
// a parser can never read past the bytes it was given.
class ByteCursor {
public:
    ByteCursor() = default;
    explicit ByteCursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    ByteCursor(const void *data, std::size_t length)
        : bytes_(static_cast<const std::uint8_t *>(data), data != nullptr ? length : 0)
    {
    }

    std::size_t remaining() const { return bytes_.size() - pos_; }
    std::size_t offset() const { return pos_; }
    bool empty() const { return remaining() == 0; }
    const std::uint8_t *current() const { return bytes_.data() + pos_; }
    std::span<const std::uint8_t> rest() const { return bytes_.subspan(pos_); }

    [[nodiscard]] bool skip(std::size_t n)
    {
        if (n > remaining())
            return false;
        pos_ += n;
        return true;
    }
    [[nodiscard]] bool peekU8(std::uint8_t &out) const
    {
        if (remaining() < 1)
            return false;
        out = bytes_[pos_];
        return true;
    }
    [[nodiscard]] bool u8(std::uint8_t &out)
    {
        if (!peekU8(out))
            return false;
        ++pos_;
        return true;
    }
    [[nodiscard]] bool be16(std::uint16_t &out) { return readInt(out, 2, true); }
    [[nodiscard]] bool be32(std::uint32_t &out) { return readInt(out, 4, true); }
    [[nodiscard]] bool be64(std::uint64_t &out) { return readInt(out, 8, true); }
    [[nodiscard]] bool le16(std::uint16_t &out) { return readInt(out, 2, false); }
    [[nodiscard]] bool le32(std::uint32_t &out) { return readInt(out, 4, false); }
    [[nodiscard]] bool le64(std::uint64_t &out) { return readInt(out, 8, false); }
    // Big-endian unsigned integer of 1 to 8 octets.
    [[nodiscard]] bool beN(std::uint64_t &out, std::size_t octets) { return readInt(out, octets, true); }

    // The next n bytes, in place.
    [[nodiscard]] bool bytes(std::size_t n, std::span<const std::uint8_t> &out)
    {
        if (n > remaining())
            return false;
        out = bytes_.subspan(pos_, n);
        pos_ += n;
        return true;
    }
    // Copies the next out.size() bytes.
    [[nodiscard]] bool copy(std::span<std::uint8_t> out)
    {
        if (out.size() > remaining())
            return false;
        if (!out.empty())
            std::memcpy(out.data(), bytes_.data() + pos_, out.size());
        pos_ += out.size();
        return true;
    }
    // A cursor over the next n bytes; this one moves past them.
    [[nodiscard]] bool sub(std::size_t n, ByteCursor &out)
    {
        std::span<const std::uint8_t> s;
        if (!bytes(n, s))
            return false;
        out = ByteCursor(s);
        return true;
    }

private:
    template <typename U>
    bool readInt(U &out, std::size_t octets, bool bigEndian)
    {
        if (octets == 0 || octets > sizeof(std::uint64_t) || octets > remaining())
            return false;
        std::uint64_t v = 0;
        const std::uint8_t *p = bytes_.data() + pos_;
        for (std::size_t i = 0; i < octets; ++i)
            v |= std::uint64_t(p[bigEndian ? i : octets - 1 - i]) << (8 * (octets - 1 - i));
        out = static_cast<U>(v);
        pos_ += octets;
        return true;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

} // namespace qel
