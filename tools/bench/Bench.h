#pragma once

#include <ostream>

#include "BenchOptions.h"
#include "BenchReport.h"

// How long connecting and announcing `clients` clients may take: every arrival is
// announced to everyone, so the server's work grows with the square of the count.
double AdmissionBoundSeconds(int clients);

// Connects the clients, lets them settle, measures, drains and accounts. Status lines
// and a progress line per second go to `progress`.
BenchReport RunBench(const BenchOptions& options, std::ostream& progress);
