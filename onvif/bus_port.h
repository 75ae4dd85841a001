// What the services need of the bus: asynchronous calls with a deadline.
// The program puts the shared bus client behind it; unit tests a fake.
#ifndef GIMBAL_ONVIF_BUS_PORT_H
#define GIMBAL_ONVIF_BUS_PORT_H

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

namespace onvif {

// Bus statuses the services tell apart.
enum BusStatus {
    kBusOk = 0,
    kBusInvalidArgument = 2,
    kBusNotFound = 4,
    kBusTimeout = 7,
    kBusUnknownError = 9,
    kBusNoConnection = 10,
};

class BusPort {
public:
    using Reply = std::function<void(int status, const nlohmann::json &data)>;
    virtual ~BusPort() = default;
    // Calls object.method; `reply` runs exactly once, on the bus's thread,
    // at the latest after timeoutMs (then with kBusTimeout). Callable from
    // any thread; never waits for the answer.
    virtual void call(const std::string &object, const std::string &method,
                      const nlohmann::json &args, unsigned timeoutMs, Reply reply) = 0;
};

}  // namespace onvif

#endif
