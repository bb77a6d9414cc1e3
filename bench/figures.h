// SPDX-License-Identifier: MIT
// The figures a measuring pass reports, each a row as the table shows it:
// the value it judges beside the target, or a value reported for what it
// tells.
#ifndef BENCH_FIGURES_H
#define BENCH_FIGURES_H

#include <json/value.h>

#include <chrono>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Runs of each timed figure; a figure is their median unless it says worst.
constexpr int RUNS = 5;

class Figures {
public:
    void judged(const std::string &figure, const std::string &value, const std::string &target,
                bool met);
    // A time judged against an upper bound, both in milliseconds.
    void within(const std::string &figure, double ms, double target_ms);
    void reported(const std::string &figure, const std::string &value);

    Json::Value rows{Json::arrayValue};

private:
    void add(const std::string &figure, const std::string &value, const std::string &target,
             const char *verdict);
};

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
double ms_between(Clock::time_point a, Clock::time_point b);
double median(std::vector<double> values);
double worst(const std::vector<double> &values);

// Prints the rows of the passes' files and writes them as one Markdown
// table to markdown_path.
void write_table(const std::vector<std::string> &pass_files, const std::string &markdown_path);

#endif
