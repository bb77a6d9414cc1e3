// SPDX-License-Identifier: MIT
#ifndef BENCH_TABLE_H
#define BENCH_TABLE_H

#include <json/value.h>

#include <string>

// Prints the figures of the passes (by name: main, bursts, segments,
// footprint, sizes, window, lossy, hostile) beside their targets, and writes
// the same tables as Markdown: the tool's to OUTPUT.md, the camera's to
// OUTPUT-footprint.md.
void print_table(const Json::Value &passes, const std::string &output);

#endif
