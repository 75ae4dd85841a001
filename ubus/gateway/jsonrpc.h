// The JSON-RPC protocol of the device's web server for bus calls, apart from
// HTTP and from the bus connection, so both sides can be tested alone.
#ifndef UBUS_GATEWAY_JSONRPC_H
#define UBUS_GATEWAY_JSONRPC_H

#include <nlohmann/json.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ubusgw {

using Json = nlohmann::ordered_json;

// How one call on the bus ended.
struct CallOutcome {
    enum Kind { Answered, NoObject, NotSent, TimedOut } kind = Answered;
    int status = 0;
    bool hasData = false;
    Json data = Json::object();  // every DATA message merged
};

// One object found by a lookup: its path and, per method, argument name ->
// type name as the command-line tool lists them.
struct ObjectEntry {
    std::string path;
    Json signature = Json::object();
};

class Bus {
public:
    virtual ~Bus() = default;
    // args is a JSON object; done runs later from the event loop, never
    // from inside call().
    virtual void call(const std::string &object, const std::string &method, const Json &args,
                      std::function<void(CallOutcome)> done) = 0;
    // pattern: a path, a prefix ending in '*', or "" for all. False when the
    // bus cannot be asked.
    virtual bool list(const std::string &pattern, std::vector<ObjectEntry> &out) = 0;
};

constexpr const char *kAnonymousSession = "00000000000000000000000000000000";

enum ErrorCode {
    kParseError = -32700,
    kInvalidRequest = -32600,
    kMethodNotFound = -32601,
    kInvalidParams = -32602,
    kInternalError = -32603,
    kObjectNotFound = -32000,
    kSessionNotFound = -32001,
    kAccessDenied = -32002,
    kTimeout = -32003,
};

const char *errorMessage(int code);

// Serialises a reply exactly as sent (compact, keys in insertion order).
std::string dump(const Json &reply);

// Parses a request body: false (a Parse error) for text that is not JSON or
// nests deeper than the limit.
bool parseBody(const char *body, size_t len, Json &out);

// Answers request bodies. Calls of a batch run one after the other, in order,
// so their effects on the objects keep the order the page wrote them in.
class Dispatcher {
public:
    explicit Dispatcher(Bus &bus) : bus_(bus) {}
    // done gets the reply body; it may run before handle() returns.
    void handle(const char *body, size_t len, std::function<void(std::string)> done);

private:
    struct Batch : std::enable_shared_from_this<Batch> {
        Batch(Dispatcher &d, Json requests, std::function<void(std::string)> done);
        void run();
        Dispatcher &dispatcher;
        Json requests;
        Json replies = Json::array();
        std::function<void(std::string)> done;
        bool looping = false;
        bool answeredInLoop = false;
    };
    void handleOne(const Json &request, std::function<void(Json)> done);
    Bus &bus_;
};

}  // namespace ubusgw

#endif
