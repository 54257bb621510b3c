/* Valgrind client requests for the callgrind runs, loaded through ctypes: the benchmark zeroes
 * the counters before a measured region and dumps them, under a label, right after it. Outside
 * valgrind every request is a no-op. */
#include <valgrind/callgrind.h>

int cg_running(void) { return RUNNING_ON_VALGRIND; }
void cg_zero(void) { CALLGRIND_ZERO_STATS; }
void cg_dump(const char *label) { CALLGRIND_DUMP_STATS_AT(label); }
