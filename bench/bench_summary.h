// The rate of each benchmark for the summary lines: the median under --benchmark_repetitions,
// otherwise the single run's rate.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            const std::string name = run.run_name.function_name;
            double rate = 0;
            for (const char* counter : {"items_per_second", "bytes_per_second"}) {
                auto it = run.counters.find(counter);
                if (it != run.counters.end())
                    rate = it->second;
            }
            if (rate <= 0 && run.run_type != Run::RT_Aggregate)
                continue;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") {
                    m_medians[name] = rate;
                }
            } else {
                m_single[name] = rate;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The median when repetitions were asked for, else the rate of the (last) run; 0 if none.
    double Rate(const std::string& name) const {
        if (auto it = m_medians.find(name); it != m_medians.end())
            return it->second;
        if (auto it = m_single.find(name); it != m_single.end())
            return it->second;
        return 0;
    }

private:
    std::map<std::string, double> m_medians;
    std::map<std::string, double> m_single;
};
