// Option lists and the reader's command line. Mode byte bit 0 clear: the
// rest is an operation sequence over four option lists (items of bytes,
// secure bytes and numbers, copies, appends, nested lists) checked after
// every step against a plain model by every reader: nth and single lookups,
// kind checks, item access, the passphrase scan and the value formats (a
// format from the input read against records of any size). Bit 0 set: the
// rest, split at NULs, is a command line walked as the reader walks it;
// every argument handed out is one that was given, every remainder a tail
// of one, and the walk ends.
#include "qelFuzzSupport.h"

#include "qelContextInternal.h"
#include "qelOptionListInternal.h"
#include "zavOptions.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

QELOptionList *const kEnd = qelOptionSentinel(QELOptionSentinel_End);

// ---------------------------------------------------------------------------
// Option lists

struct ModelItem {
    std::int32_t kind;
    bool bytes;       // value points at a copy of `data`
    Bytes data;
    std::uint64_t number;
    std::size_t nodes = 1;  // the item and every item nested below it
};
using Model = std::vector<ModelItem>;

std::size_t nodesOf(const Model &model)
{
    std::size_t n = 0;
    for (const ModelItem &m : model)
        n += m.nodes;
    return n;
}

constexpr int kLists = 4;
constexpr std::size_t kMaxItems = 200;

std::int32_t kindFrom(std::uint8_t b)
{
    // Mostly a few kinds (repeats matter), the passphrase kinds included.
    static constexpr std::int32_t kinds[] = {QELOption_Passphrase, QELOption_Passkey, 1, 2, 22, 36};
    return b < 192 ? kinds[b % std::size(kinds)] : 1 + b % 64;
}

void checkItem(const QELOptionItem &item, const ModelItem &want, const char *what)
{
    qelfuzz::check(item.kind == want.kind, what);
    if (want.bytes) {
        qelfuzz::check(item.size == want.data.size(), what);
        const auto *p = reinterpret_cast<const std::uint8_t *>(static_cast<std::uintptr_t>(item.value));
        qelfuzz::check(want.data.empty() || std::memcmp(p, want.data.data(), want.data.size()) == 0, what);
    } else {
        qelfuzz::check(item.value == want.number, what);
    }
}

// Every item in order, by index.
void checkList(QELOptionList *list, const Model &model)
{
    qelfuzz::check(qelOptionListIsReal(list) && list->count == model.size(), "item count differs");
    for (std::uint32_t i = 0; i < model.size(); ++i) {
        QELOptionItem item{};
        qelfuzz::check(qelOptionListGetItem(list, i, false, &item) == QELError_NoErr, "item missing");
        checkItem(item, model[i], "item differs");
    }
    QELOptionItem past{};
    qelfuzz::check(qelOptionListGetItem(list, static_cast<std::uint32_t>(model.size()), false, &past) ==
                           QELError_OptionNotFound &&
                       past.kind == 0,
                   "an item past the end");
}

std::vector<const ModelItem *> ofKind(const Model &model, std::int32_t kind)
{
    std::vector<const ModelItem *> found;
    for (const ModelItem &m : model)
        if (m.kind == kind)
            found.push_back(&m);
    return found;
}

QELOptionList *newItemList(QELContext *ctx, qelfuzz::Input &in, ModelItem &made)
{
    const std::uint8_t how = in.u8() % 3;
    made.kind = kindFrom(in.u8());
    if (how == 2) {
        made.bytes = false;
        made.number = std::uint64_t{in.u32()} << 32 | in.u32();
        // Size 0: a number is never read as a record (which kind holds a
        // record is the caller's knowledge, not the list's).
        return qelOptionNewValue(ctx, made.kind, &made.number, 0, nullptr);
    }
    made.bytes = true;
    made.data = in.bytes(in.u8() % 48);
    const void *p = made.data.empty() ? "" : static_cast<const void *>(made.data.data());
    return how == 0 ? qelOptionNewBytes(ctx, made.kind, p, made.data.size())
                    : qelOptionNewSecureBytes(ctx, made.kind, p, made.data.size());
}

// A format of up to 16 conversions read into 17 slots (the "%p%l" pair
// takes two).
void readValues(QELOptionList *list, const Model &model, qelfuzz::Input &in)
{
    const std::int32_t kind = kindFrom(in.u8());
    const bool required = in.u8() & 1;
    const Bytes f = in.bytes(in.u8() % 33);
    std::string format(f.begin(), f.end());
    format = format.substr(0, format.find('\0'));
    std::array<std::uint64_t, 17> s{};
    const QELStatus status = qelOptionListGetValues(
        list, kind, required, format.c_str(), &s[0], &s[1], &s[2], &s[3], &s[4], &s[5], &s[6], &s[7],
        &s[8], &s[9], &s[10], &s[11], &s[12], &s[13], &s[14], &s[15], &s[16]);
    const auto found = ofKind(model, kind);
    if (found.size() > 1) {
        qelfuzz::check(status == QELError_RedundantOptions, "two items of a kind read as one");
        return;
    }
    if (found.empty()) {
        qelfuzz::check(status == QELError_NoErr || status == QELError_BadParams ||
                           (required && status == QELError_OptionNotFound),
                       "an absent item read badly");
        qelfuzz::check(!required || status != QELError_NoErr, "a required absent item was found");
        return;
    }
    const ModelItem &m = *found.front();
    if (status != QELError_NoErr)
        return;
    const std::uint64_t value =
        m.bytes ? 0 : m.number;  // pointer values are not known to the model
    if (!m.bytes && (format == "%d" || format == "%t" || format == "%T"))
        qelfuzz::check(s[0] == static_cast<std::uint32_t>(value), "a number read back differs");
    if (!m.bytes && (format == "%p" || format == "%f"))
        qelfuzz::check(s[0] == value, "a value read back differs");
    if (m.bytes && format == "%p%l")
        qelfuzz::check(s[1] == m.data.size(), "a size read back differs");
}

void fuzzLists(qelfuzz::Input &in)
{
    QELContext *ctx = qelfuzz::sharedContext();
    std::array<QELOptionList *, kLists> lists{};
    std::array<Model, kLists> models{};
    for (auto &l : lists)
        l = qelOptionListNew(ctx, false);
    for (int steps = 0; steps < 64 && in.remaining() > 0; ++steps) {
        const std::uint8_t op = in.u8() % 10;
        const int i = in.u8() % kLists;
        const int j = in.u8() % kLists;
        bool ok = true;
        for (QELOptionList *l : lists)
            ok = ok && qelOptionListIsReal(l) && qelOptionListGetError(l) == QELError_NoErr;
        qelfuzz::check(ok, "a list went bad without a refused allocation");
        switch (op) {
        case 0: { // append one new item
            ModelItem made{};
            QELOptionList *item = newItemList(ctx, in, made);
            qelfuzz::check(qelOptionListAppendVarArgs(lists[i], item, kEnd) == QELError_NoErr,
                           "append refused");
            models[i].push_back(made);
            break;
        }
        case 1: { // append a whole list: its items move, a persistent one's are copied
            // Copies and appends could double a list at every second step.
            if (i == j || nodesOf(models[i]) + nodesOf(models[j]) > kMaxItems)
                break;
            const bool persistent = (lists[i]->flags & QELOptionListFlag_Persistent) != 0;
            qelfuzz::check(qelOptionListAppendVarArgs(lists[j], lists[i], kEnd) == QELError_NoErr,
                           "list append refused");
            models[j].insert(models[j].end(), models[i].begin(), models[i].end());
            if (!persistent) {
                models[i].clear();
                lists[i] = qelOptionListNew(ctx, false);
            }
            break;
        }
        case 2: { // a copy replaces another list
            QELOptionList *copy = qelOptionListCopy(lists[i]);
            qelfuzz::check(qelOptionListIsReal(copy), "copy refused");
            checkList(copy, models[i]);
            qelOptionListFree(lists[j]);
            lists[j] = copy;
            models[j] = models[i];
            break;
        }
        case 3: { // an item holding a copy of a list as its nested list
            // Nesting a list in itself doubles it.
            if (nodesOf(models[i]) + nodesOf(models[j]) > kMaxItems)
                break;
            QELOptionList *nested = qelOptionListCopy(lists[i]);
            const Model nestedModel = models[i];
            const std::int32_t kind = kindFrom(in.u8());
            std::uint64_t number = in.u32();
            QELOptionList *item = qelOptionNewSingle(ctx, kind, QELOptionFlag_Constructed, &number, 0,
                                                     nested, nullptr);
            qelfuzz::check(qelOptionListAppendVarArgs(lists[j], item, kEnd) == QELError_NoErr,
                           "nested append refused");
            models[j].push_back(ModelItem{kind, false, {}, number, 1 + nodesOf(nestedModel)});
            QELOptionItem got{};
            qelfuzz::check(qelOptionListGetItem(lists[j], static_cast<std::uint32_t>(models[j].size() - 1),
                                                false, &got) == QELError_NoErr,
                           "nested item missing");
            checkList(got.nested, nestedModel);
            break;
        }
        case 4: { // nth lookup
            const std::int32_t kind = kindFrom(in.u8());
            const std::uint32_t n = in.u8() % 4;
            QELOptionItem item{};
            std::uint32_t count = 99;
            const QELStatus status = qelOptionListFindNth(lists[i], kind, n, in.u8() & 1, &item, &count);
            const auto found = ofKind(models[i], kind);
            qelfuzz::check(count == found.size(), "nth lookup miscounts");
            if (n < found.size()) {
                qelfuzz::check(status == QELError_NoErr, "nth item not found");
                checkItem(item, *found[n], "nth item differs");
            } else {
                qelfuzz::check(status == QELError_OptionNotFound && item.kind == 0, "nth item past the count");
            }
            break;
        }
        case 5: { // single and optional lookups
            const std::int32_t kind = kindFrom(in.u8());
            const auto found = ofKind(models[i], kind);
            QELOptionItem item{};
            const QELStatus status = qelOptionListFindOne(lists[i], kind, &item);
            if (found.size() > 1) {
                qelfuzz::check(status == QELError_RedundantOptions, "two items of a kind found as one");
            } else {
                qelfuzz::check(status == QELError_NoErr, "single lookup failed");
                if (found.empty())
                    qelfuzz::check(item.kind == 0, "an absent item was found");
                else
                    checkItem(item, *found.front(), "single item differs");
            }
            const std::uint32_t n = in.u8() % 3;
            qelfuzz::check(qelOptionListFindOneOptional(lists[i], kind, n, &item) == QELError_NoErr,
                           "optional lookup failed");
            if (n < found.size())
                checkItem(item, *found[n], "optional item differs");
            else
                qelfuzz::check(item.kind == 0, "an absent optional item was found");
            break;
        }
        case 6: { // kind checks
            std::vector<std::int32_t> kinds;
            for (int k = in.u8() % 5; k > 0; --k)
                kinds.push_back(kindFrom(in.u8()));
            const QELStatus status = qelOptionListCheckTypes(
                lists[i], kinds.empty() ? nullptr : kinds.data(), static_cast<std::uint32_t>(kinds.size()));
            bool allowed = true;
            for (const ModelItem &m : models[i])
                allowed = allowed && std::find(kinds.begin(), kinds.end(), m.kind) != kinds.end();
            qelfuzz::check((status == QELError_NoErr) == (models[i].empty() || allowed),
                           "kind check differs");
            break;
        }
        case 7: { // the passphrase scan
            const void *v[2] = {};
            std::uint64_t sizes[2] = {};
            std::uint8_t passkey[2] = {};
            const int found = qelOptionListGetPassphrases(lists[i], &v[0], &sizes[0], &passkey[0], &v[1],
                                                          &sizes[1], &passkey[1]);
            std::vector<const ModelItem *> want;
            for (const ModelItem &m : models[i])
                if (want.size() < 2 && (m.kind == QELOption_Passphrase || m.kind == QELOption_Passkey))
                    want.push_back(&m);
            qelfuzz::check(found == static_cast<int>(want.size()), "passphrase count differs");
            for (int k = 0; k < found; ++k) {
                qelfuzz::check(passkey[k] == (want[k]->kind == QELOption_Passkey ? 1 : 0), "passkey flag");
                if (want[k]->bytes)
                    qelfuzz::check(sizes[k] == want[k]->data.size() &&
                                       (sizes[k] == 0 || std::memcmp(v[k], want[k]->data.data(), sizes[k]) == 0),
                                   "passphrase differs");
            }
            break;
        }
        case 8:
            readValues(lists[i], models[i], in);
            break;
        case 9: // start again
            qelOptionListFree(lists[i]);
            lists[i] = qelOptionListNew(ctx, in.u8() & 1);
            models[i].clear();
            break;
        }
        checkList(lists[i], models[i]);
        checkList(lists[j], models[j]);
    }
    for (QELOptionList *l : lists)
        qelOptionListFree(l);
}

// ---------------------------------------------------------------------------
// The reader's command line

constexpr LongOption kLongOptions[] = {
    {"version", 1}, {"overwrite", 2}, {"pass", 3}, {"passphrase", 3}, {"no-gui", 4}, {"hidden", 0},
};

bool looksLikeOption(const std::string &s)
{
    return s.size() > 1 && s[0] == '-';
}

void fuzzCommandLine(qelfuzz::Input &in)
{
    const std::uint32_t control = in.u32();
    const Bytes rest = in.rest();
    std::vector<std::string> args{"zavreader"};
    std::string current;
    for (std::uint8_t b : rest) {
        if (b == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(b));
        }
    }
    args.push_back(current);
    if (args.size() > 64)
        args.resize(64);
    std::vector<const char *> argv;
    std::size_t characters = 0;
    for (const std::string &a : args) {
        argv.push_back(a.c_str());
        characters += a.size();
    }

    OptionParser *parser = nullptr;
    qelfuzz::check(createOptionParser(qelfuzz::heapMgr(), static_cast<std::uint32_t>(argv.size()), argv.data(),
                                      kLongOptions, std::size(kLongOptions), &parser) == QELError_NoErr,
                   "parser refused a command line");
    // Plain arguments not handed out yet.
    std::vector<std::string> unused;
    for (std::size_t k = 1; k < args.size(); ++k)
        if (!looksLikeOption(args[k]))
            unused.push_back(args[k]);

    const std::size_t bound = 4 * (characters + args.size()) + 16;
    std::size_t steps = 0;
    std::uint32_t bit = 0;
    auto coin = [&] { return (control >> (bit++ % 32)) & 1; };
    for (;; ++steps) {
        qelfuzz::check(steps <= bound, "the walk does not end");
        // Sometimes a buffer that is too small first: nothing may move.
        std::array<char, 4097> buffer{};
        std::uint64_t length = 0;
        std::uint64_t size = coin() ? 1 + (control >> 8) % 8 : buffer.size() - 1;
        QELStatus status = getNextArgument(parser, buffer.data(), size, &length);
        if (status == QELError_BufferTooSmall) {
            qelfuzz::check(length + 1 > size, "refused a buffer that was big enough");
            status = getNextArgument(parser, buffer.data(), buffer.size() - 1, &length);
        }
        if (status == QELError_NoErr) {
            const std::string got(buffer.data());
            qelfuzz::check(got.size() == length, "argument length differs");
            const auto at = std::find(unused.begin(), unused.end(), got);
            qelfuzz::check(at != unused.end(), "an argument that was not given, or given out twice");
            unused.erase(at);
            continue;
        }
        if (status == QELError_EndOfIteration)
            break;
        qelfuzz::check(status == QELError_ItemNotFound, "unexpected argument status");
        std::int32_t id = 0;
        status = getNextOption(parser, &id);
        if (status == QELError_EndOfIteration)
            break;  // the reader prints its usage here
        qelfuzz::check(status == QELError_NoErr, "unexpected option status");
        if (coin()) {
            status = getOptionRemainder(parser, buffer.data(), buffer.size() - 1, &length);
            if (status == QELError_NoErr) {
                const std::string tail(buffer.data());
                qelfuzz::check(tail.size() == length, "remainder length differs");
                bool isTail = false;
                for (const std::string &a : args)
                    isTail = isTail || (a.size() >= tail.size() && a.compare(a.size() - tail.size(), tail.size(), tail) == 0);
                qelfuzz::check(isTail, "a remainder that is no argument's tail");
            }
        }
    }
    qelfuzz::check(freeOptionParser(parser) == QELError_NoErr, "parser not freed");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    qelfuzz::Input in(data, size);
    if (in.u8() & 1)
        fuzzCommandLine(in);
    else
        fuzzLists(in);
    return 0;
}
