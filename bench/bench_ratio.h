// Side-by-side benchmarks print ratios against their peer after the table:
// a reporter that records each result's time, and the ratio line.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

// Records each result's real time per iteration while printing as usual:
// the best of its repetitions (on a shared machine the slower ones measure
// waiting), or the median where only aggregates are reported.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> times; // run name -> time per iteration, in the run's unit

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            const std::string name = r.run_name.function_name + "/" + r.run_name.args;
            const double t = r.GetAdjustedRealTime();
            if (r.run_type == Run::RT_Aggregate) {
                if (r.aggregate_name == "median" && !best_.count(name))
                    times[name] = t;
                continue;
            }
            auto [it, fresh] = best_.emplace(name, t);
            if (!fresh && t < it->second)
                it->second = t;
            times[name] = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }

private:
    std::map<std::string, double> best_;
};

inline void printRatio(const RatioReporter &rep, const std::string &ours, const std::string &theirs,
                const char *label, double limit)
{
    auto a = rep.times.find(ours), b = rep.times.find(theirs);
    if (a == rep.times.end() || b == rep.times.end() || b->second <= 0)
        return;
    double ratio = a->second / b->second;
    std::printf("%-44s %6.2fx%s\n", label, ratio,
                limit > 0 ? (ratio <= limit ? "  (within limit)" : "  (ABOVE LIMIT)") : "");
}

