/* Prints the target's type sizes; also tells whether a preloaded library ran. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(void)
{
    const char *preloaded = getenv("PROBE_PRELOADED");
    printf("long=%u time_t=%u pointer=%u preload=%s\n", (unsigned)sizeof(long), (unsigned)sizeof(time_t),
           (unsigned)sizeof(void *), preloaded ? preloaded : "no");
    return 0;
}
