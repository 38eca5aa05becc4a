// time_limit.hpp: an optional time limit as the runtime's waits take it.
#pragma once

#include <zelt.h> // zl_value, ZL_NIL, zl_time_interval

// LIMIT converted into INTERVAL, and INTERVAL's address; null for nil, no
// limit. Any other value, false too, is the interpreter's to judge.
static inline struct timeval *time_limit(zl_value limit, struct timeval *interval) {
    if (limit == ZL_NIL) return nullptr;
    *interval = zl_time_interval(limit);
    return interval;
}
