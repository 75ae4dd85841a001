/* otarelay: reports firmware-upgrade progress from the boot-message
 * partition into the progress pipe. Takes no arguments. */
#include <stdio.h>

#include "relay.h"

int main(void)
{
    static const struct relay_paths paths = {
        "/dev/by-name/misc",
        "/tmp/ota_progress",
    };

    return relay_run(&paths, relay_interval_ms, stdout, stderr);
}
