// Armoring and dearmoring 256 MiB against coreutils base64 on the same bytes,
// in the same run, on one core:
//  - the ASCII Armor Write Module (64-character lines, CRC-24, header and
//    footer) pumped in 4096-byte pieces into Dev Null, against `base64 -w 64`
//    of the same bytes from a file in the page cache to /dev/null;
//  - the Ascii Armor Parser Module over that armored text (pass-through in
//    place of the message parser) into Dev Null, against `base64 -d` of the
//    same base64 lines.
// The peer's time is its process's wall time, started and waited for here.
#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "qelArmorParserInternal.h"
#include "qelArmorWriterInternal.h"
#include "qelContext.h"
#include "qelContextInternal.h"
#include "qelDevNullModuleInternal.h"
#include "qelSDK.h"
#include "qelSettingsInternal.h"

#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kBytes = std::size_t{256} << 20;
QELContext *g_context = nullptr;
QELSettings *g_settings = nullptr;
std::vector<std::uint8_t> g_data;
std::string g_armored;
std::string g_dir;

void pump(QELPipeModule *head, const std::uint8_t *bytes, std::size_t n)
{
    for (std::size_t at = 0; at < n; at += 4096) {
        const std::size_t k = n - at < 4096 ? n - at : 4096;
        if (qelPipeWriteAll(head, bytes + at, k) != 0)
            std::abort();
    }
    if (qelPipeExpectBytes(head, 0) != 0)
        std::abort();
}

void BM_ArmorWrite(benchmark::State &state)
{
    for (auto _ : state) {
        QELPipeModule *head = nullptr;
        QELPipeModule **slot = qelArmorWriterCreate(g_context, &head, nullptr, g_settings, 4, qelByteFifoDescriptor(),
                                                    nullptr, 0, QELArmorKind_Message, nullptr, 0);
        qelDevNullModuleCreate(g_context, slot);
        pump(head, g_data.data(), g_data.size());
        qelPipeDestroy(head);
    }
}
BENCHMARK(BM_ArmorWrite)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

void BM_ArmorParse(benchmark::State &state)
{
    for (auto _ : state) {
        QELPipeModule *head = nullptr;
        QELPipeModule **slot =
            qelArmorParserCreate(g_context, &head, g_settings, qelByteFifoDescriptor(), nullptr, nullptr);
        qelDevNullModuleCreate(g_context, slot);
        pump(head, reinterpret_cast<const std::uint8_t *>(g_armored.data()), g_armored.size());
        qelPipeDestroy(head);
    }
}
BENCHMARK(BM_ArmorParse)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

void runPeer(benchmark::State &state, const std::string &cmd)
{
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (std::system(cmd.c_str()) != 0)
            state.SkipWithError("coreutils base64 failed");
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}

void BM_Base64Encode(benchmark::State &state)
{
    runPeer(state, "base64 -w 64 < " + g_dir + "/data > /dev/null");
}
BENCHMARK(BM_Base64Encode)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseManualTime();

void BM_Base64Decode(benchmark::State &state)
{
    runPeer(state, "base64 -d < " + g_dir + "/b64 > /dev/null");
}
BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseManualTime();

bool prepare()
{
    std::mt19937_64 rng(1);
    g_data.resize(kBytes);
    for (std::size_t i = 0; i < kBytes; i += 8) {
        const std::uint64_t v = rng();
        std::memcpy(g_data.data() + i, &v, 8);
    }
    char tmpl[] = "/tmp/qelarmorbenchXXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return false;
    g_dir = tmpl;
    if (FILE *f = std::fopen((g_dir + "/data").c_str(), "wb")) {
        std::fwrite(g_data.data(), 1, g_data.size(), f);
        std::fclose(f);
    }
    // The armored text, made by the writer.
    QELPipeModule *head = nullptr;
    struct Sink {
        QELPipeModule head;
        std::string *out;
    };
    static constexpr QELPipeOps ops{
        [](QELPipeModule *m, const std::uint8_t *b, std::uint64_t n, QELStatus *) -> std::uint64_t {
            qelPipeModuleState<Sink>(m)->out->append(reinterpret_cast<const char *>(b), n);
            return n;
        },
        [](QELPipeModule *) -> QELStatus { return 0; },
        [](QELPipeModule *, const void *, std::int32_t, void *, std::uint64_t) -> QELStatus { return 0; },
        [](QELPipeModule *, std::uint64_t) -> QELStatus { return 0; },
        [](QELPipeModule *m) -> QELStatus {
            qelPipeModuleFree(qelPipeModuleState<Sink>(m));
            return 0;
        }};
    QELPipeModule **slot = qelArmorWriterCreate(g_context, &head, nullptr, g_settings, 4, qelByteFifoDescriptor(),
                                                nullptr, 0, QELArmorKind_Message, nullptr, 0);
    auto *sink = qelPipeModuleNew<Sink>(g_context, 0x5151AA00, "Bench Sink", ops);
    sink->out = &g_armored;
    *slot = &sink->head;
    g_armored.reserve(kBytes / 3 * 4 + kBytes / 48 + 4096);
    pump(head, g_data.data(), g_data.size());
    qelPipeDestroy(head);
    // The same base64 lines without header, CRC and footer for the peer.
    const std::size_t bodyStart = g_armored.find("\n\n") + 2;
    const std::size_t bodyEnd = g_armored.rfind("\n=") + 1;
    if (FILE *f = std::fopen((g_dir + "/b64").c_str(), "wb")) {
        std::fwrite(g_armored.data() + bodyStart, 1, bodyEnd - bodyStart, f);
        std::fclose(f);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (qelSDKInit(6) != 0 || qelContextNew(QELSDKVersion, &g_context) != 0 ||
        qelSettingsCreate(g_context, &g_settings) != 0 || !prepare())
        return 1;
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // Time of our run over the peer's (at most 1.0, goal 0.5).
    auto ratio = [&](const char *ours, const char *peer, const char *label) {
        double a = 0, b = 0;
        for (const auto &[name, t] : reporter.times) {
            if (name.rfind(ours, 0) == 0 && a == 0)
                a = t;
            if (name.rfind(peer, 0) == 0 && b == 0)
                b = t;
        }
        if (a <= 0 || b <= 0)
            return;
        const double r = a / b;
        std::printf("%-52s %6.2fx%s\n", label, r, r <= 1.0 ? "  (within 1.0)" : "  (ABOVE 1.0)");
    };
    ratio("BM_ArmorWrite", "BM_Base64Encode", "armor 256 MiB vs base64 -w 64 (goal 0.5)");
    ratio("BM_ArmorParse", "BM_Base64Decode", "dearmor 256 MiB vs base64 -d (goal 0.5)");
    benchmark::Shutdown();
    std::remove((g_dir + "/data").c_str());
    std::remove((g_dir + "/b64").c_str());
    std::remove(g_dir.c_str());
    qelSettingsFree(g_settings);
    static_cast<void>(qelContextFree(g_context));
    static_cast<void>(qelSDKCleanup());
    return 0;
}
