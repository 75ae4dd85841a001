// ubusd: the bus broker for development hosts.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "broker.h"

namespace {

const char kDefaultSocket[] = "/var/run/ubus/ubus.sock";
const char kDefaultDir[] = "/var/run/ubus";

int usage(const char *prog)
{
    fprintf(stderr,
            "Usage: %s [<options>]\n"
            "Options: \n"
            "  -s <socket>:\t\tSet the unix domain socket to listen on\n"
            "\n",
            prog);
    return 1;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string path = kDefaultSocket;
    int ch;
    while ((ch = getopt(argc, argv, "s:")) != -1) {
        switch (ch) {
        case 's':
            path = optarg;
            break;
        default:
            return usage(argv[0]);
        }
    }
    if (optind < argc)
        return usage(argv[0]);

    // Only the standard location gets its directory created; a socket given
    // with -s lives wherever the caller prepared it.
    if (path == kDefaultSocket)
        mkdir(kDefaultDir, 0755);

    ubusd::Broker broker(path);
    if (!broker.open())
        return 1;
    return broker.run();
}
