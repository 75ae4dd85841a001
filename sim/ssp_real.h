// The C library's own functions, bypassing the simulator's interposers.
#ifndef SSP_REAL_H
#define SSP_REAL_H

#include <sys/types.h>

namespace sspsim {

int realOpen(const char *path, int flags, mode_t mode);
int realClose(int fd);

}  // namespace sspsim

#endif  // SSP_REAL_H
