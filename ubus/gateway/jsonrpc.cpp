#include "jsonrpc.h"

#include <memory>

namespace ubusgw {

namespace {

// Deep enough for any real request; keeps the recursive parts of the JSON
// library (serialising, copying) far from the stack's end.
constexpr int kMaxDepth = 40;

bool nestsTooDeep(const char *p, size_t len)
{
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < len; ++i) {
        char c = p[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth)
                return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

Json reply(const Json &id)
{
    Json r = Json::object();
    r["jsonrpc"] = "2.0";
    r["id"] = id;
    return r;
}

Json errorReply(const Json &id, int code)
{
    Json r = reply(id);
    r["error"] = Json::object();
    r["error"]["code"] = code;
    r["error"]["message"] = errorMessage(code);
    return r;
}

Json resultReply(const Json &id, Json result)
{
    Json r = reply(id);
    r["result"] = std::move(result);
    return r;
}

}  // namespace

const char *errorMessage(int code)
{
    switch (code) {
    case kParseError:
        return "Parse error";
    case kInvalidRequest:
        return "Invalid request";
    case kMethodNotFound:
        return "Method not found";
    case kInvalidParams:
        return "Invalid parameters";
    case kInternalError:
        return "Internal error";
    case kObjectNotFound:
        return "Object not found";
    case kSessionNotFound:
        return "Session not found";
    case kAccessDenied:
        return "Access denied";
    case kTimeout:
        return "ubus request timed out";
    default:
        return "Internal error";
    }
}

std::string dump(const Json &reply)
{
    // Strings from bus objects need not be UTF-8; never throw on them.
    return reply.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool parseBody(const char *body, size_t len, Json &out)
{
    if (nestsTooDeep(body, len))
        return false;
    out = Json::parse(body, body + len, nullptr, false);
    return !out.is_discarded();
}

void Dispatcher::handle(const char *body, size_t len, std::function<void(std::string)> done)
{
    Json request;
    if (!parseBody(body, len, request)) {
        done(dump(errorReply(nullptr, kParseError)));
        return;
    }
    if (!request.is_array()) {
        handleOne(request, [done](Json r) { done(dump(r)); });
        return;
    }
    if (request.empty()) {
        done(dump(errorReply(nullptr, kInvalidRequest)));
        return;
    }

    auto batch = std::make_shared<Batch>(*this, std::move(request), std::move(done));
    batch->run();
}

Dispatcher::Batch::Batch(Dispatcher &d, Json requests, std::function<void(std::string)> done)
    : dispatcher(d), requests(std::move(requests)), done(std::move(done))
{
}

// One call after the other. Answers that come at once are taken in the loop
// rather than by recursion, so a long batch cannot exhaust the stack.
void Dispatcher::Batch::run()
{
    looping = true;
    while (replies.size() < requests.size()) {
        size_t index = replies.size();
        answeredInLoop = false;
        auto self = shared_from_this();
        dispatcher.handleOne(requests[index], [self](Json r) {
            self->replies.push_back(std::move(r));
            if (self->looping)
                self->answeredInLoop = true;
            else
                self->run();
        });
        if (!answeredInLoop) {
            looping = false;
            return;
        }
    }
    looping = false;
    done(dump(replies));
}

void Dispatcher::handleOne(const Json &request, std::function<void(Json)> done)
{
    if (!request.is_object()) {
        done(errorReply(nullptr, kParseError));
        return;
    }
    Json id = nullptr;
    auto found = request.find("id");
    if (found != request.end())
        id = *found;

    auto version = request.find("jsonrpc");
    auto method = request.find("method");
    if (version == request.end() || *version != "2.0" || method == request.end() || !method->is_string()) {
        done(errorReply(id, kInvalidRequest));
        return;
    }
    auto params = request.find("params");
    bool hasParams = params != request.end() && !params->is_null();

    if (*method == "call") {
        if (!hasParams || !params->is_array() || params->size() != 4 || !(*params)[0].is_string() ||
            !(*params)[1].is_string() || !(*params)[2].is_string() || !(*params)[3].is_object()) {
            done(errorReply(id, kInvalidParams));
            return;
        }
        const std::string &sid = (*params)[0].get_ref<const std::string &>();
        Json args = (*params)[3];
        if (args.contains("ubus_rpc_session")) {
            done(errorReply(id, kInvalidParams));
            return;
        }
        // No session store here: only the anonymous session exists, and it may call anything.
        if (sid != kAnonymousSession) {
            done(errorReply(id, kAccessDenied));
            return;
        }
        args["ubus_rpc_session"] = sid;
        bus_.call((*params)[1].get<std::string>(), (*params)[2].get<std::string>(), args,
                  [id, done](CallOutcome o) {
                      switch (o.kind) {
                      case CallOutcome::NoObject:
                          done(errorReply(id, kObjectNotFound));
                          return;
                      case CallOutcome::NotSent:
                          done(errorReply(id, kInternalError));
                          return;
                      case CallOutcome::TimedOut:
                          done(errorReply(id, kTimeout));
                          return;
                      case CallOutcome::Answered:
                          break;
                      }
                      Json result = Json::array({o.status});
                      if (o.hasData)
                          result.push_back(std::move(o.data));
                      done(resultReply(id, std::move(result)));
                  });
        return;
    }

    if (*method == "list") {
        if (hasParams && !params->is_array()) {
            done(errorReply(id, kInvalidParams));
            return;
        }
        if (!hasParams || params->empty()) {
            std::vector<ObjectEntry> entries;
            if (!bus_.list("", entries)) {
                done(errorReply(id, kInternalError));
                return;
            }
            Json paths = Json::array();
            for (const ObjectEntry &e : entries)
                paths.push_back(e.path);
            done(resultReply(id, std::move(paths)));
            return;
        }
        Json objects = Json::object();
        for (const Json &pattern : *params) {
            std::vector<ObjectEntry> entries;
            if (!pattern.is_string()) {
                done(errorReply(id, kInvalidParams));
                return;
            }
            if (!bus_.list(pattern.get<std::string>(), entries)) {
                done(errorReply(id, kInternalError));
                return;
            }
            for (ObjectEntry &e : entries)
                objects[e.path] = std::move(e.signature);
        }
        done(resultReply(id, std::move(objects)));
        return;
    }

    done(errorReply(id, kMethodNotFound));
}

}  // namespace ubusgw
