// Trust-signature regular expressions: a two-pass compiler to a byte program of
// linked nodes and a backtracking matcher over it.
//
// A node is an opcode, a 16-bit big-endian offset to the next node (0: none;
// a LoopBack node counts backwards) and, for Literal and the two set nodes, a
// NUL-terminated operand. The first pass only measures the program and finds
// syntax errors; the second writes it into a block of exactly that size.
#include "qelRegexInternal.h"

#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelWipe.h"

#include <cstring>
#include <vector>

namespace {

enum Op : std::uint8_t {
    kDone = 0,
    kTextStart = 1,
    kTextEnd = 2,
    kAnyChar = 3,
    kInSet = 4,
    kNotInSet = 5,
    kAlternative = 6,
    kLoopBack = 7,
    kLiteral = 8,
    kEmpty = 9,
    kStarSimple = 10,
    kPlusSimple = 11,
    kGroupOpen = 20,
    kGroupClose = 30,
};

constexpr int kMaxGroups = 10; // match 0 and groups 1 to 9

// What a parsed piece can do; drives the quantifier checks and the search for
// a required literal.
constexpr int kWorst = 0;
constexpr int kHasWidth = 1;   // never matches the empty string
constexpr int kSimple = 2;     // matches exactly one character
constexpr int kStarStart = 4;  // starts with * or ?

constexpr long kNone = -1;     // no node
constexpr long kSizing = -2;   // the node of the measuring pass

constexpr const char kMeta[] = "^$.[()|?*+\\";

bool isQuantifier(char c) { return c == '*' || c == '+' || c == '?'; }

class Compiler {
public:
    // Measuring pass when program is null.
    Compiler(const char *text, std::uint8_t *program) : parse_(text), program_(program)
    {
        if (program_ != nullptr)
            program_[pos_] = QELRegexMagic;
        ++pos_;
    }

    bool run(int &flags)
    {
        parseExpression(false, flags);
        return !failed_;
    }
    std::size_t size() const { return pos_; }

private:
    bool sizing() const { return program_ == nullptr; }

    long fail()
    {
        failed_ = true;
        return kNone;
    }

    long emitNode(std::uint8_t op)
    {
        if (sizing()) {
            pos_ += 3;
            return kSizing;
        }
        long at = long(pos_);
        program_[pos_++] = op;
        program_[pos_++] = 0;
        program_[pos_++] = 0;
        return at;
    }
    void emitByte(std::uint8_t b)
    {
        if (!sizing())
            program_[pos_] = b;
        ++pos_;
    }
    // Puts a node in front of the operand at `at`, moving it up.
    void insertNode(std::uint8_t op, long at)
    {
        if (sizing()) {
            pos_ += 3;
            return;
        }
        std::memmove(program_ + at + 3, program_ + at, pos_ - std::size_t(at));
        program_[at] = op;
        program_[at + 1] = 0;
        program_[at + 2] = 0;
        pos_ += 3;
    }
    long next(long p) const
    {
        if (p < 0)
            return kNone;
        unsigned off = (unsigned(program_[p + 1]) << 8) | program_[p + 2];
        if (off == 0)
            return kNone;
        return program_[p] == kLoopBack ? p - long(off) : p + long(off);
    }
    // Links the last node of the chain from p to val.
    void tail(long p, long val)
    {
        if (p < 0)
            return;
        long scan = p;
        for (long n = next(scan); n != kNone; n = next(scan))
            scan = n;
        long off = program_[scan] == kLoopBack ? scan - val : val - scan;
        program_[scan + 1] = std::uint8_t((off >> 8) & 0xFF);
        program_[scan + 2] = std::uint8_t(off & 0xFF);
    }
    // tail() on the operand of an Alternative.
    void operandTail(long p, long val)
    {
        if (p < 0 || program_[p] != kAlternative)
            return;
        tail(p + 3, val);
    }

    long parseExpression(bool group, int &flags)
    {
        flags = kHasWidth;
        long ret = kNone;
        int number = 0;
        if (group) {
            if (groups_ >= kMaxGroups)
                return fail();
            number = groups_++;
            ret = emitNode(std::uint8_t(kGroupOpen + number));
        }
        int f = 0;
        long br = parseAlternative(f);
        if (failed_)
            return kNone;
        if (ret != kNone)
            tail(ret, br);
        else
            ret = br;
        if (!(f & kHasWidth))
            flags &= ~kHasWidth;
        flags |= f & kStarStart;
        while (*parse_ == '|') {
            ++parse_;
            br = parseAlternative(f);
            if (failed_)
                return kNone;
            tail(ret, br);
            if (!(f & kHasWidth))
                flags &= ~kHasWidth;
            flags |= f & kStarStart;
        }
        long ender = emitNode(group ? std::uint8_t(kGroupClose + number) : std::uint8_t(kDone));
        tail(ret, ender);
        for (long b = ret; b >= 0; b = next(b))
            operandTail(b, ender);
        if (group) {
            if (*parse_ != ')')
                return fail();
            ++parse_;
        } else if (*parse_ != '\0') {
            return fail(); // a stray ")" or text after a complete expression
        }
        return ret;
    }

    long parseAlternative(int &flags)
    {
        flags = kWorst;
        long ret = emitNode(kAlternative);
        long chain = kNone;
        while (*parse_ != '\0' && *parse_ != '|' && *parse_ != ')') {
            int f = 0;
            long latest = parsePiece(f);
            if (failed_)
                return kNone;
            flags |= f & kHasWidth;
            if (chain == kNone)
                flags |= f & kStarStart;
            else
                tail(chain, latest);
            chain = latest;
        }
        if (chain == kNone)
            static_cast<void>(emitNode(kEmpty)); // an empty alternative matches ""
        return ret;
    }

    long parsePiece(int &flags)
    {
        int f = 0;
        long ret = parseAtom(f);
        if (failed_)
            return kNone;
        char op = *parse_;
        if (!isQuantifier(op)) {
            flags = f;
            return ret;
        }
        if (!(f & kHasWidth) && op != '?')
            return fail(); // * or + over something that can match ""
        flags = op != '+' ? (kWorst | kStarStart) : (kWorst | kHasWidth);

        if (op == '*' && (f & kSimple)) {
            insertNode(kStarSimple, ret);
        } else if (op == '*') {
            // X* is an Alternative of X looping back to itself, or Empty.
            insertNode(kAlternative, ret);
            operandTail(ret, emitNode(kLoopBack));
            operandTail(ret, ret);
            tail(ret, emitNode(kAlternative));
            tail(ret, emitNode(kEmpty));
        } else if (op == '+' && (f & kSimple)) {
            insertNode(kPlusSimple, ret);
        } else if (op == '+') {
            // X+ is X, then an Alternative of looping back to X, or Empty.
            long choice = emitNode(kAlternative);
            tail(ret, choice);
            tail(emitNode(kLoopBack), ret);
            tail(choice, emitNode(kAlternative));
            tail(ret, emitNode(kEmpty));
        } else {
            // X? is an Alternative of X, or Empty.
            insertNode(kAlternative, ret);
            tail(ret, emitNode(kAlternative));
            long empty = emitNode(kEmpty);
            tail(ret, empty);
            operandTail(ret, empty);
        }
        ++parse_;
        if (isQuantifier(*parse_))
            return fail();
        return ret;
    }

    long parseAtom(int &flags)
    {
        flags = kWorst;
        long ret = kNone;
        char c = *parse_++;
        switch (c) {
        case '^':
            ret = emitNode(kTextStart);
            break;
        case '$':
            ret = emitNode(kTextEnd);
            break;
        case '.':
            ret = emitNode(kAnyChar);
            flags |= kHasWidth | kSimple;
            break;
        case '[': {
            if (*parse_ == '^') {
                ret = emitNode(kNotInSet);
                ++parse_;
            } else {
                ret = emitNode(kInSet);
            }
            if (*parse_ == ']' || *parse_ == '-')
                emitByte(std::uint8_t(*parse_++));
            while (*parse_ != '\0' && *parse_ != ']') {
                if (*parse_ != '-') {
                    emitByte(std::uint8_t(*parse_++));
                    continue;
                }
                ++parse_;
                if (*parse_ == ']' || *parse_ == '\0') {
                    emitByte('-');
                    continue;
                }
                // The range's first byte is already in the set.
                unsigned from = unsigned(std::uint8_t(parse_[-2])) + 1;
                unsigned to = std::uint8_t(*parse_);
                if (from > to + 1)
                    return fail();
                for (; from <= to; ++from)
                    emitByte(std::uint8_t(from));
                ++parse_;
            }
            emitByte(0);
            if (*parse_ != ']')
                return fail();
            ++parse_;
            flags |= kHasWidth | kSimple;
            break;
        }
        case '(': {
            int f = 0;
            ret = parseExpression(true, f);
            if (failed_)
                return kNone;
            flags |= f & (kHasWidth | kStarStart);
            break;
        }
        case '\0':
        case '|':
        case ')':
        case '?':
        case '+':
        case '*':
            --parse_; // never step past the terminating NUL
            return fail();
        case '\\':
            if (*parse_ == '\0')
                return fail();
            ret = emitNode(kLiteral);
            emitByte(std::uint8_t(*parse_++));
            emitByte(0);
            flags |= kHasWidth | kSimple;
            break;
        default: {
            --parse_;
            std::size_t len = std::strcspn(parse_, kMeta);
            // Before a quantifier a run gives up its last character, to
            // which the quantifier then applies.
            if (len > 1 && isQuantifier(parse_[len]))
                --len;
            flags |= kHasWidth;
            if (len == 1)
                flags |= kSimple;
            ret = emitNode(kLiteral);
            for (; len > 0; --len)
                emitByte(std::uint8_t(*parse_++));
            emitByte(0);
            break;
        }
        }
        return ret;
    }

    const char *parse_;
    std::uint8_t *program_;
    std::size_t pos_ = 0;
    int groups_ = 1;
    bool failed_ = false;
};

std::uint8_t *programOf(QELRegex *regex) { return reinterpret_cast<std::uint8_t *>(regex + 1); }

// The backtracking matcher over one compiled program.
class Matcher {
public:
    Matcher(QELRegex *regex, const char *text) : regex_(regex), program_(programOf(regex)), bol_(text)
    {
    }

    bool exhausted() const { return exhausted_; }

    bool tryAt(const char *at)
    {
        input_ = at;
        for (int i = 0; i < kMaxGroups; ++i) {
            regex_->matchStart[i] = nullptr;
            regex_->matchEnd[i] = nullptr;
        }
        if (!match(1))
            return false;
        regex_->matchStart[0] = at;
        regex_->matchEnd[0] = input_;
        return true;
    }

private:
    // Recursion stays shallow enough for any thread's stack.
    static constexpr int kMaxDepth = 4000;

    std::uint8_t op(long p) const { return program_[p]; }
    const char *operand(long p) const { return reinterpret_cast<const char *>(program_ + p + 3); }
    long next(long p) const
    {
        unsigned off = (unsigned(program_[p + 1]) << 8) | program_[p + 2];
        if (off == 0)
            return kNone;
        return program_[p] == kLoopBack ? p - long(off) : p + long(off);
    }
    bool step()
    {
        if (exhausted_ || ++steps_ > QELRegexStepBudget) {
            exhausted_ = true;
            return false;
        }
        return true;
    }
    static bool inSet(const char *set, char c) { return c != '\0' && std::strchr(set, c) != nullptr; }

    // Characters the single-character node p matches in a row from input_;
    // moves input_ past them.
    std::size_t repeat(long p)
    {
        const char *scan = input_;
        const char *set = operand(p);
        switch (op(p)) {
        case kAnyChar:
            scan += std::strlen(scan);
            break;
        case kLiteral:
            while (*scan == *set && *scan != '\0')
                ++scan;
            break;
        case kInSet:
            while (inSet(set, *scan))
                ++scan;
            break;
        case kNotInSet:
            while (*scan != '\0' && !inSet(set, *scan))
                ++scan;
            break;
        default:
            break;
        }
        std::size_t count = std::size_t(scan - input_);
        input_ = scan;
        return count;
    }

    bool match(long scan)
    {
        if (depth_ >= kMaxDepth) {
            exhausted_ = true;
            return false;
        }
        ++depth_;
        bool ok = matchChain(scan);
        --depth_;
        return ok;
    }

    bool matchChain(long scan)
    {
        while (scan != kNone) {
            if (!step())
                return false;
            long nxt = next(scan);
            std::uint8_t o = op(scan);
            switch (o) {
            case kTextStart:
                if (input_ != bol_)
                    return false;
                break;
            case kTextEnd:
                if (*input_ != '\0')
                    return false;
                break;
            case kAnyChar:
                if (*input_ == '\0')
                    return false;
                ++input_;
                break;
            case kLiteral: {
                const char *lit = operand(scan);
                std::size_t len = std::strlen(lit);
                if (std::strncmp(lit, input_, len) != 0)
                    return false;
                input_ += len;
                break;
            }
            case kInSet:
                if (!inSet(operand(scan), *input_))
                    return false;
                ++input_;
                break;
            case kNotInSet:
                if (*input_ == '\0' || inSet(operand(scan), *input_))
                    return false;
                ++input_;
                break;
            case kEmpty:
            case kLoopBack:
                break;
            case kAlternative: {
                if (nxt == kNone || op(nxt) != kAlternative) {
                    nxt = scan + 3; // a single alternative: no choice to make
                    break;
                }
                do {
                    const char *save = input_;
                    if (match(scan + 3))
                        return true;
                    if (exhausted_)
                        return false;
                    input_ = save;
                    scan = next(scan);
                } while (scan != kNone && op(scan) == kAlternative);
                return false;
            }
            case kStarSimple:
            case kPlusSimple: {
                char nextChar = '\0';
                if (nxt != kNone && op(nxt) == kLiteral)
                    nextChar = *operand(nxt);
                std::size_t min = o == kStarSimple ? 0 : 1;
                const char *save = input_;
                std::size_t count = repeat(scan + 3);
                for (;;) {
                    if (count < min)
                        return false;
                    if (nextChar == '\0' || *input_ == nextChar) {
                        if (match(nxt))
                            return true;
                        if (exhausted_)
                            return false;
                    }
                    if (count == 0 || !step())
                        return false;
                    --count;
                    input_ = save + count;
                }
            }
            case kDone:
                return true;
            default:
                if (o > kGroupOpen && o < kGroupOpen + kMaxGroups) {
                    int n = o - kGroupOpen;
                    const char *save = input_;
                    if (!match(nxt))
                        return false;
                    // Record on the way back unless a later pass through the
                    // same group already did.
                    if (regex_->matchStart[n] == nullptr)
                        regex_->matchStart[n] = save;
                    return true;
                }
                if (o > kGroupClose && o < kGroupClose + kMaxGroups) {
                    int n = o - kGroupClose;
                    const char *save = input_;
                    if (!match(nxt))
                        return false;
                    if (regex_->matchEnd[n] == nullptr)
                        regex_->matchEnd[n] = save;
                    return true;
                }
                return false; // no such node: a damaged program matches nothing
            }
            scan = nxt;
        }
        return false; // the chain ended without Done
    }

    QELRegex *regex_;
    const std::uint8_t *program_;
    const char *bol_;
    const char *input_ = nullptr;
    std::uint32_t steps_ = 0;
    int depth_ = 0;
    bool exhausted_ = false;
};

} // namespace

QELStatus qelRegexCompile(QELContext *context, const char *text, QELRegex **outRegex)
{
    if (!qelContextIsValid(context) || text == nullptr || outRegex == nullptr)
        return QELError_BadParams;
    *outRegex = nullptr;

    int flags = 0;
    Compiler measure(text, nullptr);
    if (!measure.run(flags))
        return QELError_OutOfMemory;
    if (measure.size() > QELRegexMaxProgram)
        return QELError_BadParams;

    auto *regex = static_cast<QELRegex *>(
        qelContextMemAlloc(context, sizeof(QELRegex) + measure.size(), 0));
    if (regex == nullptr)
        return QELError_OutOfMemory;
    std::uint8_t *program = programOf(regex);
    Compiler write(text, program);
    if (!write.run(flags)) { // cannot differ from the measuring pass
        static_cast<void>(qelContextMemFree(context, regex)); // our own fresh block
        return QELError_OutOfMemory;
    }
    for (int i = 0; i < kMaxGroups; ++i) {
        regex->matchStart[i] = nullptr;
        regex->matchEnd[i] = nullptr;
    }
    regex->firstChar = 0;
    regex->anchored = 0;
    regex->required = nullptr;
    regex->requiredLength = 0;

    // Shortcuts for an expression of one top-level alternative.
    auto next = [program](long p) -> long {
        unsigned off = (unsigned(program[p + 1]) << 8) | program[p + 2];
        if (off == 0)
            return kNone;
        return program[p] == kLoopBack ? p - long(off) : p + long(off);
    };
    long first = 1;
    if (program[next(first)] == kDone) {
        long scan = first + 3;
        if (program[scan] == kLiteral)
            regex->firstChar = program[scan + 3];
        else if (program[scan] == kTextStart)
            regex->anchored = 1;
        if (flags & kStarStart) {
            // The longest literal on the alternative's own chain (the later
            // one on a tie) must occur in every match.
            const char *longest = nullptr;
            std::size_t len = 0;
            for (; scan != kNone; scan = next(scan)) {
                if (program[scan] != kLiteral)
                    continue;
                const char *lit = reinterpret_cast<const char *>(program + scan + 3);
                if (std::strlen(lit) >= len) {
                    longest = lit;
                    len = std::strlen(lit);
                }
            }
            regex->required = longest;
            regex->requiredLength = std::int32_t(len);
        }
    }
    *outRegex = regex;
    return QELError_NoErr;
}

int qelRegexMatch(QELRegex *regex, const char *text)
{
    if (regex == nullptr || text == nullptr || programOf(regex)[0] != QELRegexMagic)
        return QELError_BadParams;

    if (regex->required != nullptr) {
        const char *s = text;
        std::size_t len = std::size_t(regex->requiredLength);
        while ((s = std::strchr(s, regex->required[0])) != nullptr) {
            if (std::strncmp(s, regex->required, len) == 0)
                break;
            ++s;
        }
        if (s == nullptr)
            return 0;
    }

    Matcher m(regex, text);
    if (regex->anchored)
        return m.tryAt(text) ? 1 : 0;
    if (regex->firstChar != 0) {
        for (const char *s = text; (s = std::strchr(s, char(regex->firstChar))) != nullptr; ++s) {
            if (m.tryAt(s))
                return 1;
            if (m.exhausted())
                return 0;
        }
        return 0;
    }
    const char *s = text;
    do {
        if (m.tryAt(s))
            return 1;
        if (m.exhausted())
            return 0;
    } while (*s++ != '\0');
    return 0;
}

int qelRegexMatchBytes(QELRegex *regex, const std::uint8_t *text, std::size_t length)
{
    if (regex == nullptr || (text == nullptr && length != 0))
        return QELError_BadParams;
    if (length != 0 && std::memchr(text, 0, length) != nullptr)
        return 0; // a NUL inside the user ID would cut it short
    std::vector<char> copy;
    try {
        copy.assign(text, text + length);
        copy.push_back('\0');
    } catch (...) {
        return QELError_OutOfMemory;
    }
    int result = qelRegexMatch(regex, copy.data());
    // The match positions point into the copy; clear them before it goes.
    for (int i = 0; i < kMaxGroups; ++i) {
        regex->matchStart[i] = nullptr;
        regex->matchEnd[i] = nullptr;
    }
    qelSecureWipe(copy.data(), copy.size());
    return result;
}
