// One SOAP request from its body to its answer: well-formedness and limits,
// the SOAP version, headers that must be understood, authentication, and the
// operation's service. Independent of HTTP, so tests and the fuzzer drive it
// directly.
#ifndef GIMBAL_ONVIF_SOAP_ENDPOINT_H
#define GIMBAL_ONVIF_SOAP_ENDPOINT_H

#include <cstddef>
#include <string>

#include "bus_port.h"
#include "config.h"
#include "services.h"
#include "username_token.h"

namespace onvif {

struct RequestContext {
    std::string base;         // "http://host:port" the client reached
    bool digestUser = false;  // the HTTP layer accepted Digest credentials
};

class SoapEndpoint {
public:
    SoapEndpoint(const Config &config, BusPort &bus);

    // `done` runs exactly once: at once, or later on the bus's thread.
    void handle(const char *data, size_t size, const RequestContext &context, Done done);
    // Only the handful of operations every client needs before it logs in
    // answer without credentials, and only while users are configured.
    bool authenticationRequired() const { return !config_.users.empty(); }
    const Config &config() const { return config_; }
    Services &services() { return services_; }

private:
    Config config_;
    TokenVerifier verifier_;
    Services services_;
};

}  // namespace onvif

#endif
