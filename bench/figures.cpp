// SPDX-License-Identifier: MIT
#include "figures.h"

#include <json/json.h>

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <ctime>
#include <fstream>
#include <stdexcept>

void Figures::add(const std::string &figure, const std::string &value,
                  const std::string &target, const char *verdict)
{
    Json::Value row;
    row["figure"] = figure;
    row["value"] = value;
    row["target"] = target;
    row["verdict"] = verdict;
    rows.append(row);
}

void Figures::judged(const std::string &figure, const std::string &value,
                     const std::string &target, bool met)
{
    add(figure, value, target, met ? "met" : "MISSED");
}

void Figures::within(const std::string &figure, double ms, double target_ms)
{
    judged(figure, format("%.1f ms", ms), format("<= %.0f ms", target_ms), ms <= target_ms);
}

void Figures::reported(const std::string &figure, const std::string &value)
{
    add(figure, value, "", "");
}

std::string format(const char *pattern, ...)
{
    char text[200];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

double ms_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double worst(const std::vector<double> &values)
{
    return *std::max_element(values.begin(), values.end());
}

void write_table(const std::vector<std::string> &pass_files, const std::string &markdown_path)
{
    char day[16];
    time_t now = time(nullptr);
    strftime(day, sizeof day, "%Y-%m-%d", localtime(&now));
    std::ofstream markdown(markdown_path);
    markdown << "Figures of " << day << ", on a machine with " << sysconf(_SC_NPROCESSORS_ONLN)
             << " cores:\n\n| Figure | Value | Target | |\n|---|---|---|---|\n";
    for (const std::string &path : pass_files) {
        std::ifstream file(path);
        Json::Value rows;
        if (!(file >> rows))
            throw std::runtime_error("cannot read " + path);
        for (const Json::Value &row : rows) {
            std::string cells[] = {row["figure"].asString(), row["value"].asString(),
                                   row["target"].asString(), row["verdict"].asString()};
            printf("%-80s %-32s %-36s %s\n", cells[0].c_str(), cells[1].c_str(),
                   cells[2].c_str(), cells[3].c_str());
            markdown << "| " << cells[0] << " | " << cells[1] << " | " << cells[2] << " | "
                     << cells[3] << " |\n";
        }
    }
}
