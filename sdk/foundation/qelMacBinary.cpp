// MacBinary II decoding and the creator/type table.
#include "qelMacBinaryInternal.h"

#include "qelByteOrderInternal.h"
#include "qelHelpers.h"
#include "qelFileOpenInternal.h"
#include "qelFileSpecInternal.h"
#include "qelIOInternal.h"
#include "qelMemoryInternal.h"
#include "qelUtilitiesInternal.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <type_traits>
#include <utility>
#include <unistd.h>

namespace {

// Codes shorter than four characters carry trailing spaces. The QELm and
// QELk lines name this system's own message and key files.
constexpr char kBuiltInTable[] =
    "# Mapping table for MacBinary and file name extension conversion\n"
    "# Format: \n"
    "#     <4 char Mac creator><tab><4 char Mac type><tab><1-3 letter DOS extension>\n"
    "\n"
    "# The special code **** indicates a wild card for creator or type\n"
    "# Hex may be used for creator & type in the format 0xHHHHHHHH\n"
    "# Comment lines begin with '#'\n"
    "\n"
    "CWIE\tTEXT\th\n"
    "CWIE\tTEXT\tc\n"
    "CWIE\tTEXT\tcp\n"
    "CWIE\tTEXT\tcpp\n"
    "ttxt\tTEXT\ttxt\n"
    "MOSS\tTEXT\thtm\n"
    "SITx\tTEXT\thqx\n"
    "JVWR\tJPEG\tjpg\n"
    "JVWR\tGIFf\tgif\n"
    "SIT!\tBINA\tzip\n"
    "SIT!\tBINA\tgz\n"
    "SIT!\tBINA\ttar\n"
    "SIT!\tBINA\tuu\n"
    "SIT!\tBINA\tbin\n"
    "SIT!\tBINA\tarc\n"
    "SIT!\tBINA\tz\n"
    "8BIM\tGIFf\tgif\n"
    "8BIM\t8BPS\tpsd\n"
    "8BIM\tTPIC\ttga\n"
    "8BIM\tJPEG\tjpg\n"
    "ALD3\tALB3\tpm3\n"
    "ALD4\tALB4\tpm4\n"
    "ALD5\tALB5\tpm5\n"
    "ALD6\tALB6\tpm6\n"
    "MSPJ\tMPP \tmpp\n"
    "MSPJ\tMPX \tmpp\n"
    "AnVw\t****\tgl\n"
    "arc*\tmArc\tarc\n"
    "BnHq\tTEXT\thqx\n"
    "Booz\tZoo \tzoo\n"
    "CARO\tPDF \tpdf\n"
    "CPCT\tPACT\tcpt\n"
    "DAD2\tdrw2\tcvs\n"
    "DArj\tBINA\tarj\n"
    "dCpy\tdlmg\tima\n"
    "dPro\tEPSF\teps\n"
    "dPro\tPICT\tmac\n"
    "FMPR\tFMPR\tfm\n"
    "GKON\tCGMm\tcgm\n"
    "GKON\tDLdI\tdl\n"
    "GKON\tFLI \tfli\n"
    "GKON\tICO \tico\n"
    "GKON\tILBM\tiff\n"
    "GKON\tIMGg\timg\n"
    "GKON\tILBM\tlbm\n"
    "GKON\tMSPp\tmsp\n"
    "GKON\tSTAD\tPAC\n"
    "GKON\tPPGM\tpbm\n"
    "GKON\tPICS\tpcs\n"
    "GKON\tPCXx\tpcx\n"
    "GKON\tPPGM\tpgm\n"
    "GKON\tHPGL\tplt\n"
    "GKON\tPMpm\tpm\n"
    "GKON\tPPGM\tppm\n"
    "GKON\tRIFF\trif\n"
    "GKON\tRLE \trle\n"
    "GKON\tSHPp\tshp\n"
    "GKON\tSpec\tspc\n"
    "GKON\tSUNn\tsr\n"
    "GKON\tSUNn\tsun\n"
    "GKON\tSCRN\tsup\n"
    "GKON\tTARG\ttga\n"
    "GKON\tWMF \twmf\n"
    "GKON\tFLI \tflc\n"
    "Gzip\tGzip\tgz\n"
    "JVWR\tJPEG\tjpg\n"
    "JVWR\tBMPp\tvga\n"
    "L123\tWKS \twks\n"
    "LARC\tLHA \tlha\n"
    "LARC\tLHA \tlzh\n"
    "LZIV\tZIVU\tz\n"
    "mdos\tBINA\texe\n"
    "mMPG\tMPEG\tmpg\n"
    "MSWD\tW8BN\tdoc\n"
    "MSWD\tW6BN\tdoc\n"
    "MSWD\tWDBN\tdoc\n"
    "MSWD\tWTBN\tdot\n"
    "MSWD\tTEXT\ttxt\n"
    "MSWD\tRTF \trtf\n"
    "MSWD\t****\tdoc\n"
    "OTEX\tODVI\tdvi\n"
    "OTEX\tTEXT\ttex\n"
    "QELm\tTEXT\tasc\n"
    "QELm\tsigF\tsig\n"
    "QELm\tencF\tqem\n"
    "QELm\tsgnF\tqsm\n"
    "QELm\tarmF\tasc\n"
    "QELk\tpubR\tpkr\n"
    "QELk\tsecR\tskr\n"
    "QELk\trndS\trnd\n"
    "QELk\tgrpF\tgrp\n"
    "QELk\tshrF\tshf\n"
    "PPT3\tSLD8\tppt\n"
    "PPT3\tSLD3\tppt\n"
    "PPT3\tPPOT\tpot\n"
    "pZIP\tpZIP\tzip\n"
    "SCPL\tAIFF\taif\n"
    "SCPL\tULAW\tau\n"
    "SCPL\tSTrk\tmod\n"
    "SCPL\t8SVX\tsvx\n"
    "SCPL\tWAVE\twav\n"
    "SITx\tSIT!\tsit\n"
    "SITx\tSITD\tsit\n"
    "TAR \tTARF\ttar\n"
    "ttxt\tPICT\tpct\n"
    "ttxt\tPICT\tpic\n"
    "TVOD\tMooV\tqt\n"
    "UPIT\tPIT \tpit\n"
    "WPC2\t.WP5\twp\n"
    "WPC2\t.WP5\twp5\n"
    "XCEL\tXLS8\txls\n"
    "XCEL\tXLS5\txls\n"
    "XCEL\tXLS4\txls\n"
    "XCEL\tXLC3\txlc\n"
    "XCEL\tXLM3\txlm\n"
    "XCEL\tXLW \txlw\n"
    "XCEL\tTEXT\tslk\n"
    "XCEL\t****\txls\n"
    "XPRS\tXDOC\tqxd\n"
    "****\tTEXT\ttxt\n"
    "****\tpZIP\tzip\n"
    "****\tZIVU\tzip\n"
    "****\tMidi\tmdi\n"
    "****\tPAK \tpak\n"
    "****\tmArc\tarc\n"
    "****\tZOO \tzoo\n"
    "****\tGIFf\tgif\n"
    "****\tJPEG\tjpg\n"
    "****\tTIFF\ttif\n"
    "****\tEPSF\teps\n"
    ;

constexpr const char *kTextExtensions[] = {
    "c",   "h",   "cpp", "cp",  "cc",  "cxx", "asm", "txt", "slk", "tex", "tx8", "rtf", "htm", "asc",
    "bas", "bat", "cmd", "csv", "dif", "faq", "hqx", "ini", "mak", "me",  "p",   "pas", "prn",
};

constexpr std::size_t kTableGrowth = 10;

// The process's table: read-only between start-up and clean-up. Plain
// storage, so that the table stays usable whatever the order in which
// static objects go at exit.
struct TypeTable {
    std::mutex lock;
    bool loaded = false;
    QELMacBinaryTypeEntry *entries = nullptr;
    std::size_t count = 0;
    std::size_t capacity = 0;
};
static_assert(std::is_trivially_destructible_v<std::mutex>);

constinit TypeTable g_table;

// A growable array of entries, growing by ten.
struct EntryArray {
    QELMacBinaryTypeEntry *entries = nullptr;
    std::size_t count = 0;
    std::size_t capacity = 0;

    EntryArray() = default;
    EntryArray(const EntryArray &) = delete;
    EntryArray &operator=(const EntryArray &) = delete;
    ~EntryArray() { std::free(entries); }

    QELStatus append(const QELMacBinaryTypeEntry &entry)
    {
        if (count == capacity) {
            void *grown = std::realloc(entries, (capacity + kTableGrowth) * sizeof(*entries));
            if (grown == nullptr)
                return QELError_OutOfMemory;
            entries = static_cast<QELMacBinaryTypeEntry *>(grown);
            capacity += kTableGrowth;
        }
        entries[count++] = entry;
        return QELError_NoErr;
    }
};

bool isLineEnd(char c)
{
    return c == '\r' || c == '\n';
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isSpaceOrEnd(char c)
{
    return isBlank(c) || isLineEnd(c) || c == '\v' || c == '\f';
}

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection.
std::uint16_t crc16Xmodem(const std::uint8_t *bytes, std::size_t length)
{
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (bytes[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

const char *skipBlanks(const char *p, const char *end)
{
    while (p < end && isBlank(*p))
        ++p;
    return p;
}

const char *skipLineEnds(const char *p, const char *end)
{
    while (p < end && isLineEnd(*p))
        ++p;
    return p;
}

const char *findLineEnd(const char *p, const char *end)
{
    while (p < end && !isLineEnd(*p))
        ++p;
    return p;
}

// Parses one data line [p, lineEnd) into an entry.
bool parseLine(const char *p, const char *lineEnd, QELMacBinaryTypeEntry &entry)
{
    bool creatorValid = false;
    bool typeValid = false;
    entry = QELMacBinaryTypeEntry{};
    p = qelMacBinaryParseCode(p, lineEnd, &entry.creator, &creatorValid);
    p = skipBlanks(p, lineEnd);
    p = qelMacBinaryParseCode(p, lineEnd, &entry.type, &typeValid);
    p = skipBlanks(p, lineEnd);
    std::size_t n = 0;
    while (p < lineEnd && !isSpaceOrEnd(*p)) {
        if (n == 3)
            return false; // a fourth character: not an extension
        entry.extension[n++] = *p++;
    }
    return creatorValid && typeValid && n >= 1;
}

// Owns a handle and releases it on every exit.
template <typename T, auto Release>
class Owned {
public:
    Owned() = default;
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { reset(); }
    T *get() const { return handle_; }
    T **out() { return &handle_; }
    T *release() { return std::exchange(handle_, nullptr); }
    // Releases the handle now; the release's status.
    QELStatus reset() { return handle_ != nullptr ? Release(release()) : QELError_NoErr; }

private:
    T *handle_ = nullptr;
};

using BlockGuard = Owned<char, qelMemFree>; // guarded blocks (paths of file specs)
using SpecGuard = Owned<QELFileSpec, qelFileSpecFree>;
using IOGuard = Owned<QELIO, qelIOFree>;

// Moves a file to a name that must not exist yet; never replaces a file.
// 0, 1 when the target exists, or a failure status.
int moveNoReplace(const char *from, const char *to)
{
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno == EEXIST)
        return 1;
    if (errno != EINVAL && errno != ENOSYS)
        return QELError_FileOpFailed;
    // File systems without the no-replace rename: a hard link fails on an
    // existing name just the same.
    if (::link(from, to) != 0)
        return errno == EEXIST ? 1 : QELError_FileOpFailed;
    if (::unlink(from) != 0) {
        ::unlink(to);
        return QELError_FileOpFailed;
    }
    return 0;
}

// Renames the decoded file to name, or to a numbered variant of it when a
// file of that name exists; the spec follows the file.
QELStatus renameToFreeName(QELFileSpec *spec, const char *name)
{
    BlockGuard from;
    QELStatus status = qelFileSpecGetPath(spec, from.out());
    if (status != QELError_NoErr)
        return status;
    SpecGuard target;
    status = qelFileSpecCopy(spec, target.out());
    if (status != QELError_NoErr)
        return status;
    char candidate[QELFileSpecNameBufferSize];
    for (std::uint32_t n = 0; n <= QELFileSpecMaxUniqueTries; ++n) {
        if (n == 0) {
            if (std::strlen(name) >= sizeof(candidate))
                return QELError_BadParams;
            std::strcpy(candidate, name);
        } else {
            status = qelStrMakeNumberedName(name, "", n, sizeof(candidate), candidate);
            if (status != QELError_NoErr)
                return status;
        }
        status = qelFileSpecSetName(target.get(), candidate);
        if (status != QELError_NoErr)
            return status;
        BlockGuard to;
        status = qelFileSpecGetPath(target.get(), to.out());
        if (status != QELError_NoErr)
            return status;
        if (std::strcmp(from.get(), to.get()) == 0)
            return QELError_NoErr; // already there
        int moved = moveNoReplace(from.get(), to.get());
        if (moved == 0)
            return qelFileSpecSetName(spec, candidate);
        if (moved != 1)
            return moved;
    }
    return QELError_ItemAlreadyExists;
}

// Picks a name that no file has in the input's directory (the input's own
// name, else temp1.tmp, temp2.tmp, ...) and creates it exclusively.
QELStatus createOutput(const QELFileSpec *input, QELFileSpec **outSpec)
{
    *outSpec = nullptr;
    SpecGuard out;
    QELStatus status = qelFileSpecCopy(input, out.out());
    if (status != QELError_NoErr)
        return status;
    char name[QELFileSpecNameBufferSize];
    for (std::uint32_t n = 0; n <= QELFileSpecMaxUniqueTries; ++n) {
        if (n > 0) {
            std::snprintf(name, sizeof(name), "%s%u.%s", "temp", n, "tmp");
            status = qelFileSpecSetName(out.get(), name);
            if (status != QELError_NoErr)
                return status;
        }
        std::uint8_t exists = 0;
        status = qelFileSpecExists(out.get(), &exists);
        if (status != QELError_NoErr)
            return status;
        if (exists)
            continue;
        status = qelFileSpecCreate(out.get());
        if (status == QELError_NoErr) {
            *outSpec = out.release();
            return QELError_NoErr;
        }
        // Someone took the name between the test and the creation.
        status = qelFileSpecExists(out.get(), &exists);
        if (status != QELError_NoErr)
            return status;
        if (!exists)
            return QELError_CantOpenFile;
    }
    return QELError_ItemAlreadyExists;
}

QELStatus copyDataFork(QELIO *input, std::uint32_t length, bool text, QELIO *output)
{
    QELStatus status = qelIOSetPos(input, QELMacBinaryHeaderSize);
    if (status != QELError_NoErr)
        return status;
    if (!text)
        return qelIOCopy(input, length, output);
    IOGuard converter;
    status = qelLineEndIONew(output, 0, QELLineEnd_LF, converter.out());
    if (status != QELError_NoErr)
        return status;
    status = qelIOCopy(input, length, converter.get());
    // Freeing the converter writes out what it holds.
    QELStatus closeStatus = converter.reset();
    return status != QELError_NoErr ? status : closeStatus;
}

} // namespace

// --- the type table -----------------------------------------------------------

const char *qelMacBinaryParseCode(const char *text, const char *end, std::uint32_t *outCode,
                                  bool *outValid)
{
    if (outCode != nullptr)
        *outCode = 0;
    if (outValid != nullptr)
        *outValid = false;
    if (text == nullptr || end == nullptr || text >= end || outCode == nullptr ||
        outValid == nullptr)
        return text;
    const std::size_t count = static_cast<std::size_t>(findLineEnd(text, end) - text);
    if (count >= 2 && text[0] == '0' && text[1] == 'x') {
        if (count <= 7)
            return text;
        std::array<std::uint8_t, 4> bytes{};
        std::size_t i = 2;
        std::size_t n = 0;
        while (n < bytes.size() && i < count && qelIsHexDigit(text[i])) {
            int value = qelHexDigitValue(text[i]);
            if (i + 1 < count && qelIsHexDigit(text[i + 1])) {
                value = value * 16 + qelHexDigitValue(text[i + 1]);
                i += 2;
            } else {
                i += 1;
            }
            bytes[n++] = static_cast<std::uint8_t>(value);
        }
        *outCode = qelReadUInt32(0, bytes.data());
        *outValid = true;
        // Never past the line: a short hex code is followed by the next field.
        return text + std::min<std::size_t>(10, count);
    }
    if (count < 4)
        return text;
    *outCode = qelReadUInt32(0, text);
    *outValid = true;
    return text + 4;
}

QELStatus qelMacBinaryTableLoadText(const char *text, std::size_t length)
{
    if (text == nullptr)
        return QELError_BadParams;
    EntryArray built;
    QELStatus status = QELError_NoErr;
    const char *end = text + length;
    const char *p = text;
    while (p < end) {
        if (*p == '#' || isLineEnd(*p)) {
            p = skipLineEnds(findLineEnd(p, end), end);
            continue;
        }
        const char *lineEnd = findLineEnd(p, end);
        QELMacBinaryTypeEntry entry{};
        if (lineEnd - p > 10 && parseLine(p, lineEnd, entry)) {
            status = built.append(entry);
            if (status != QELError_NoErr)
                break; // keeps the entries made so far
        }
        p = skipLineEnds(lineEnd, end);
    }
    std::lock_guard<std::mutex> hold(g_table.lock);
    std::swap(g_table.entries, built.entries);
    std::swap(g_table.count, built.count);
    std::swap(g_table.capacity, built.capacity);
    g_table.loaded = true;
    return status;
}

QELStatus qelMacBinaryTableLoad()
{
    return qelMacBinaryTableLoadText(kBuiltInTable, sizeof(kBuiltInTable) - 1);
}

void qelMacBinaryTableFree()
{
    std::lock_guard<std::mutex> hold(g_table.lock);
    std::free(g_table.entries);
    g_table.entries = nullptr;
    g_table.count = 0;
    g_table.capacity = 0;
    g_table.loaded = false;
}

QELStatus qelMacBinaryExtensionForCodes(std::uint32_t creator, std::uint32_t type,
                                        char *outExtension)
{
    if (outExtension == nullptr)
        return QELError_BadParams;
    std::memset(outExtension, 0, 4);
    std::lock_guard<std::mutex> hold(g_table.lock);
    if (!g_table.loaded)
        return QELError_BadParams;
    for (std::size_t i = 0; i < g_table.count; ++i) {
        const QELMacBinaryTypeEntry &e = g_table.entries[i];
        if ((e.creator == creator || e.creator == QELMacBinaryWildcard) &&
            (e.type == type || e.type == QELMacBinaryWildcard)) {
            std::memcpy(outExtension, e.extension, 4);
            return QELError_NoErr;
        }
    }
    std::memcpy(outExtension, "bin", 4);
    return QELError_MacBinaryHeaderError;
}

bool qelMacBinaryIsTextName(std::uint32_t, std::uint32_t type, const char *extension)
{
    if (type != QELMacBinaryTypeText || extension == nullptr)
        return false;
    for (const char *known : kTextExtensions)
        if (qelStrCompareNoCase(extension, known) == 0)
            return true;
    return false;
}

// --- decoding -----------------------------------------------------------------

QELStatus qelMacBinaryDecode(const QELFileSpec *spec, QELFileSpec **outSpec,
                             std::uint32_t *outCreator, std::uint32_t *outType)
{
    if (outSpec != nullptr)
        *outSpec = nullptr;
    if (outCreator != nullptr)
        *outCreator = 0;
    if (outType != nullptr)
        *outType = 0;
    if (!qelFileSpecIsValid(spec) || outSpec == nullptr)
        return QELError_BadParams;

    IOGuard input;
    QELStatus status = qelFileSpecOpenIO(spec, 0, input.out());
    if (status != QELError_NoErr)
        return status;
    std::array<std::uint8_t, QELMacBinaryHeaderSize> header{};
    status = qelIORead(input.get(), QELMacBinaryHeaderSize, header.data(), nullptr);
    if (status != QELError_NoErr)
        return status;

    // The fields in header order: version 0, name length, name, type,
    // creator, Finder flags, 0, position and folder, protection, 0, the data
    // fork's length, the rest up to the two version bytes, and the CRC of
    // the 124 bytes before it.
    qel::ByteCursor in(header);
    std::uint8_t version = 0, nameLength = 0, zero74 = 0, zero82 = 0, written = 0, needed = 0;
    std::uint32_t type = 0, creator = 0, dataLength = 0;
    std::uint16_t crc = 0;
    const bool read = in.u8(version) && in.u8(nameLength) && in.skip(63) && in.be32(type) &&
                      in.be32(creator) && in.skip(1) && in.u8(zero74) && in.skip(7) &&
                      in.u8(zero82) && in.be32(dataLength) && in.skip(35) && in.u8(written) &&
                      in.u8(needed) && in.be16(crc);
    if (!read || version != 0 || zero74 != 0 || zero82 != 0 || nameLength < 1 ||
        nameLength > 63 || written != 0x81 || needed != 0x81 ||
        crc16Xmodem(header.data(), 124) != crc)
        return QELError_MacBinaryCRCError;
    if (dataLength == 0)
        return QELError_MacBinaryHeaderError;
    if (outCreator != nullptr)
        *outCreator = creator;
    if (outType != nullptr)
        *outType = type;

    // A header that claims more data than the file holds is refused before
    // anything is written or removed.
    std::int64_t fileSize = 0;
    status = qelIOGetSize(input.get(), &fileSize);
    if (status != QELError_NoErr)
        return status;
    if (fileSize < static_cast<std::int64_t>(QELMacBinaryHeaderSize) + dataLength)
        return QELError_EOF;

    SpecGuard output;
    status = createOutput(spec, output.out());
    if (status != QELError_NoErr)
        return status;
    {
        IOGuard out;
        status = qelFileSpecOpenIO(output.get(), 1, out.out());
        if (status == QELError_NoErr)
            status = copyDataFork(input.get(), dataLength, type == QELMacBinaryTypeText, out.get());
        QELStatus closeStatus = out.reset();
        if (status == QELError_NoErr)
            status = closeStatus;
    }
    input.reset();
    if (status != QELError_NoErr) {
        // Nothing is lost: the MacBinary file stays and the partial output
        // goes.
        static_cast<void>(qelFileSpecDelete(output.get()));
        return status;
    }

    // The data fork takes the MacBinary file's place only when that file can
    // go; otherwise the decoded copy goes again and nothing has changed.
    status = qelFileSpecDelete(spec);
    if (status != QELError_NoErr) {
        static_cast<void>(qelFileSpecDelete(output.get())); // the failure to report is the one above
        return status;
    }

    char name[QELFileSpecNameBufferSize];
    status = qelFileSpecGetName(spec, sizeof(name), name);
    if (status == QELError_NoErr) {
        const char *extension = qelStrFileExtension(name);
        if (extension == nullptr || !qelMacBinaryIsTextName(creator, type, extension)) {
            char tableExtension[4];
            if (qelMacBinaryExtensionForCodes(creator, type, tableExtension) == QELError_NoErr) {
                char *dot = qelStrExtensionStart(name);
                const std::size_t base = static_cast<std::size_t>(dot - name);
                const std::size_t extLength = std::strlen(tableExtension);
                if (base + 1 + extLength + 1 <= sizeof(name)) {
                    name[base] = '.';
                    std::memcpy(name + base + 1, tableExtension, extLength + 1);
                }
            }
        }
        status = renameToFreeName(output.get(), name);
    }
    *outSpec = output.release();
    return status;
}
