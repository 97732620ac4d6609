#include "core/performance.h"

namespace {

// Its destructor is trivial, so threads still running at exit may go on feeding it.
PerformanceLog object;

}  // namespace

// The address of a static object: set before any dynamic initialisation runs.
PerformanceLog* const performance_log = &object;

PerformanceLog::PerformanceLog()
{
    gettimeofday(&start_time_, nullptr);
}
