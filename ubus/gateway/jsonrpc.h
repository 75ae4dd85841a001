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

class Sessions;

// How one call on the bus ended.
struct CallOutcome {
    enum Kind { Answered, NoObject, NotSent, TimedOut, TooLarge } kind = Answered;
    int status = 0;
    bool hasData = false;
    Json data = Json::object();  // every DATA message merged
};

// One object found by a lookup: its path and, per method, argument name ->
// type name ("number", "string", "boolean", "array", "object").
struct ObjectEntry {
    std::string path;
    Json signature = Json::object();
};

struct ListOutcome {
    enum Kind { Answered, NotSent, TimedOut } kind = Answered;
    std::vector<ObjectEntry> objects;
};

class Bus {
public:
    virtual ~Bus() = default;
    // args is a JSON object nesting at most kMaxArgsDepth levels. done runs
    // later from the event loop, never from inside call(), and at the latest
    // when timeoutMs has passed.
    virtual void call(const std::string &object, const std::string &method, const Json &args, int timeoutMs,
                      std::function<void(CallOutcome)> done) = 0;
    // pattern: a path, a prefix ending in '*', or "" for all; done as above.
    virtual void list(const std::string &pattern, int timeoutMs, std::function<void(ListOutcome)> done) = 0;
};

constexpr const char *kAnonymousSession = "00000000000000000000000000000000";

// Call arguments nest at most this deep (the arguments object is level 1),
// as deep as the device's bus message conversion goes.
constexpr int kMaxArgsDepth = 32;
// A body nesting deeper than this is not parsed at all.
constexpr int kMaxBodyDepth = 64;

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

// Serialises a reply exactly as sent: compact, keys in insertion order,
// doubles with six decimals as the device's JSON writer prints them.
std::string dump(const Json &reply);

// Parses a request body as the device does: the first JSON value, text after
// it ignored. False (a Parse error) for text that is not JSON or nests deeper
// than kMaxBodyDepth.
bool parseBody(const char *body, size_t len, Json &out);

// Levels of nesting of a value (a scalar is 0, {} is 1).
int nestingDepth(const Json &value);

struct DispatchLimits {
    int timeoutMs = 60000;           // for the whole request, batch or not
    size_t maxBatch = 32;            // entries of one batch
    size_t maxPatterns = 32;         // patterns of one list
    size_t maxReplyBytes = 1 << 20;  // of one whole reply
};

// Answers request bodies. Calls of a batch run one after the other, in order,
// so their effects on the objects keep the order the page wrote them in.
class Dispatcher {
public:
    // sessions: nullptr lets the anonymous session call everything and
    // refuses every other session id.
    explicit Dispatcher(Bus &bus, DispatchLimits limits = {}, Sessions *sessions = nullptr)
        : bus_(bus), limits_(limits), sessions_(sessions)
    {
    }
    // done gets the reply body; it may run before handle() returns.
    void handle(const char *body, size_t len, std::function<void(std::string)> done);

private:
    struct Request;
    void handleOne(const std::shared_ptr<Request> &request, const Json &entry,
                   std::function<void(Json)> done);
    void call(const std::shared_ptr<Request> &request, const Json &id, const Json &params,
              std::function<void(Json)> done);
    void list(const std::shared_ptr<Request> &request, const Json &id, const Json *params,
              std::function<void(Json)> done);
    Bus &bus_;
    DispatchLimits limits_;
    Sessions *sessions_;
};

}  // namespace ubusgw

#endif
