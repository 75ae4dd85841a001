/* Loaded with LD_PRELOAD into probe.c, as the simulated driver is into the daemon. */
#include <stdlib.h>

__attribute__((constructor)) static void mark(void) { setenv("PROBE_PRELOADED", "yes", 1); }
