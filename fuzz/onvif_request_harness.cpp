// The ONVIF endpoint's request handling, authentication and every service
// included: any body gets exactly one answer, and that answer is well-formed
// XML. Bus calls are answered after handle() returns, with the outcomes a
// real bus gives; the same input is also read as a discovery probe.
#include <deque>
#include <string>

#include "discovery.h"
#include "harness.h"
#include "soap_endpoint.h"

namespace {

class ScriptedBus : public onvif::BusPort {
public:
    void call(const std::string &, const std::string &method, const nlohmann::json &, unsigned,
              Reply reply) override {
        pending.emplace_back(method, std::move(reply));
    }
    void drain() {
        for (unsigned n = 0; !pending.empty(); ++n) {
            auto next = std::move(pending.front());
            pending.pop_front();
            nlohmann::json data = nlohmann::json::object();
            if (next.first == "status")
                data = {{"pan", 10},
                        {"tilt", -5},
                        {"moving", n % 2 == 0},
                        {"limits", {{"pan", {-170.0, 170.0}}, {"tilt", {-20.0, 20.0}}}}};
            else if (next.first == "presetList")
                data = {{"presets", {{{"name", "a<&>"}, {"pan", 1}, {"tilt", 2}}}},
                        {"capacity", n % 3}};
            static const int statuses[] = {onvif::kBusOk,
                                           onvif::kBusOk,
                                           onvif::kBusNotFound,
                                           onvif::kBusTimeout,
                                           onvif::kBusInvalidArgument,
                                           onvif::kBusUnknownError};
            next.second(statuses[n % 6], data);
        }
    }
    std::deque<std::pair<std::string, Reply>> pending;
};

}  // namespace

int fuzz_onvif_request(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    onvif::Config config;
    // Half the inputs meet a device with a user, half an open one.
    if (size % 2) config.users = {{"admin", "secret"}};
    ScriptedBus bus;
    onvif::SoapEndpoint endpoint(config, bus);
    int answers = 0;
    onvif::SoapResponse answer;
    endpoint.handle(text, size, {"http://127.0.0.1:8000", size % 4 == 3},
                    [&](onvif::SoapResponse r) {
                        answers++;
                        answer = std::move(r);
                    });
    bus.drain();
    FUZZ_CHECK(answers == 1);
    pugi::xml_document reply;
    FUZZ_CHECK(reply.load_buffer(answer.body.data(), answer.body.size()));
    FUZZ_CHECK(answer.httpStatus == 200 || answer.httpStatus == 400 || answer.httpStatus == 401 ||
               answer.httpStatus == 500);

    std::string id;
    onvif::probeWanted(text, size, {"onvif://www.onvif.org/type/ptz"}, &id);
    return 0;
}
