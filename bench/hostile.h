// SPDX-License-Identifier: MIT
#ifndef BENCH_HOSTILE_H
#define BENCH_HOSTILE_H

#include "figures.h"

#include <string>

// What hostile peers cost, on host 1 of a two-host test network: what a
// camera writes and answers during a flood of malformed datagrams, with its
// standard error read freely, at a serial console's pace, and never on a
// terminal, and how soon it ends there; free() with standard error a stalled
// terminal; the camera's CPU time for the costliest shapes of datagram
// against a presence, and its answers on one CPU under a flood of the
// costliest; and the memory of the reported addresses at 1,000,000 forged
// senders.
void hostile_peers(const std::string &build, Figures &figures);

#endif
