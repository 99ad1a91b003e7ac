// bench_api.h - the project's headers that scale_bench and driver_bench build on, in one
// place. Both programs use only these public interfaces, so bench/compare.sh can build them
// against an older revision of the tree too; when headers move, adapt the names here and the
// include folders in bench/compare_targets.cmake. To keep comparing with revisions from before
// such a move, name both places here (#if __has_include(<new place>) ... #else <old> #endif).
#ifndef KORVEL_BENCH_API_H
#define KORVEL_BENCH_API_H

#include "D_korvel.h"  // the library: D_can, can_looping
#include "ntcan.h"     // the driver's nine functions
// The driver's simulated nets (inject, simulated) and the framework's host side (the log
// sink); revisions before the headers moved into folders per component named them bare.
#if __has_include("ntcan/sim_bus.h")
#include "ntcan/sim_bus.h"
#include "vexil/vexil_host.h"
#else
#include "ntcan_sim.h"
#include "vexil_host.h"
#endif

#endif  // KORVEL_BENCH_API_H
