// The model on its own, outside the preloaded library: nothing is
// interposed, so the C library's functions are the real ones.
#include "ssp_real.h"

#include <fcntl.h>
#include <unistd.h>

namespace sspsim {

int realOpen(const char *path, int flags, mode_t mode)
{
    return ::open(path, flags, mode);
}
int realClose(int fd)
{
    return ::close(fd);
}

}  // namespace sspsim
