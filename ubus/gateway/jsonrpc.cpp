#include "jsonrpc.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <set>

#include "sessions.h"

namespace ubusgw {

namespace {

using Clock = std::chrono::steady_clock;

// Builds the value as the library's own parser would, but gives up beyond
// kMaxBodyDepth levels: later copies and dumps recurse.
class Builder {
public:
    explicit Builder(Json &root) : root_(root) {}
    bool null() { return put(nullptr); }
    bool boolean(bool v) { return put(v); }
    bool number_integer(Json::number_integer_t v) { return put(v); }
    bool number_unsigned(Json::number_unsigned_t v) { return put(v); }
    bool number_float(Json::number_float_t v, const std::string &) { return put(v); }
    bool string(std::string &v) { return put(std::move(v)); }
    bool binary(Json::binary_t &) { return false; }
    bool start_object(std::size_t) { return open(Json::object()); }
    bool key(std::string &k)
    {
        key_ = std::move(k);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(Json::array()); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string &, const Json::exception &) { return false; }

private:
    // Only the innermost open container grows, so the pointers to the
    // containers around it stay valid.
    Json *place(Json &&v)
    {
        if (stack_.empty()) {
            root_ = std::move(v);
            return &root_;
        }
        Json &top = *stack_.back();
        if (top.is_array()) {
            top.push_back(std::move(v));
            return &top.back();
        }
        Json &slot = top[key_];
        slot = std::move(v);
        return &slot;
    }
    bool put(Json v)
    {
        place(std::move(v));
        return true;
    }
    bool open(Json v)
    {
        if (stack_.size() >= static_cast<size_t>(kMaxBodyDepth))
            return false;
        stack_.push_back(place(std::move(v)));
        return true;
    }
    bool close()
    {
        stack_.pop_back();
        return true;
    }
    Json &root_;
    std::vector<Json *> stack_;
    std::string key_;
};

void write(std::string &out, const Json &v)
{
    switch (v.type()) {
    case Json::value_t::object: {
        out += '{';
        bool first = true;
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (!first)
                out += ',';
            first = false;
            out += Json(it.key()).dump(-1, ' ', false, Json::error_handler_t::replace);
            out += ':';
            write(out, it.value());
        }
        out += '}';
        break;
    }
    case Json::value_t::array: {
        out += '[';
        bool first = true;
        for (const Json &e : v) {
            if (!first)
                out += ',';
            first = false;
            write(out, e);
        }
        out += ']';
        break;
    }
    case Json::value_t::number_float: {
        double d = v.get<double>();
        if (!std::isfinite(d)) {
            // "%f" would give inf or nan, which no JSON reader takes.
            out += "null";
            break;
        }
        int n = snprintf(nullptr, 0, "%f", d);
        size_t at = out.size();
        out.resize(at + static_cast<size_t>(n) + 1);
        snprintf(&out[at], static_cast<size_t>(n) + 1, "%f", d);
        out.resize(at + static_cast<size_t>(n));
        break;
    }
    default:
        // Strings from bus objects need not be UTF-8; never throw on them.
        out += v.dump(-1, ' ', false, Json::error_handler_t::replace);
        break;
    }
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
    std::string out;
    write(out, reply);
    return out;
}

bool parseBody(const char *body, size_t len, Json &out)
{
    out = Json();
    Builder builder(out);
    return Json::sax_parse(body, body + len, &builder, nlohmann::detail::input_format_t::json, false);
}

int nestingDepth(const Json &value)
{
    int deepest = 0;
    std::vector<std::pair<const Json *, int>> todo{{&value, 0}};
    while (!todo.empty()) {
        auto [v, depth] = todo.back();
        todo.pop_back();
        if (!v->is_structured())
            continue;
        deepest = std::max(deepest, depth + 1);
        for (const Json &child : *v)
            todo.emplace_back(&child, depth + 1);
    }
    return deepest;
}

// One HTTP request: its deadline and what its reply may still grow by.
struct Dispatcher::Request {
    Clock::time_point deadline;
    size_t budget = 0;
    int remainingMs() const
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }
    // The entry's text, or an Internal error in its place once the reply
    // would outgrow its budget.
    std::string charge(const Json &entry)
    {
        std::string text = dump(entry);
        if (text.size() > budget) {
            text = dump(errorReply(entry.value("id", Json()), kInternalError));
            budget = 0;
        } else {
            budget -= text.size();
        }
        return text;
    }
};

namespace {

// The entries of a batch one after the other; answers that come at once are
// taken in the loop rather than by recursion, so a long batch cannot exhaust
// the stack.
struct Batch : std::enable_shared_from_this<Batch> {
    std::function<void(const Json &, std::function<void(Json)>)> handleOne;
    Json entries;
    std::vector<std::string> replies;
    std::function<std::string(const Json &)> charge;
    std::function<void(std::string)> done;
    bool looping = false;
    bool answeredInLoop = false;

    void run()
    {
        looping = true;
        while (replies.size() < entries.size()) {
            answeredInLoop = false;
            auto self = shared_from_this();
            handleOne(entries[replies.size()], [self](Json r) {
                self->replies.push_back(self->charge(r));
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
        std::string out = "[";
        for (size_t i = 0; i < replies.size(); i++) {
            if (i)
                out += ',';
            out += replies[i];
        }
        out += ']';
        done(std::move(out));
    }
};

}  // namespace

void Dispatcher::handle(const char *body, size_t len, std::function<void(std::string)> done)
{
    auto request = std::make_shared<Request>();
    request->deadline = Clock::now() + std::chrono::milliseconds(limits_.timeoutMs);
    request->budget = limits_.maxReplyBytes;

    Json parsed;
    if (!parseBody(body, len, parsed)) {
        done(dump(errorReply(nullptr, kParseError)));
        return;
    }
    if (!parsed.is_array()) {
        handleOne(request, parsed, [request, done](Json r) { done(request->charge(r)); });
        return;
    }
    if (parsed.size() > limits_.maxBatch) {
        done(dump(errorReply(nullptr, kInvalidRequest)));
        return;
    }
    auto batch = std::make_shared<Batch>();
    batch->entries = std::move(parsed);
    batch->handleOne = [this, request](const Json &entry, std::function<void(Json)> one) {
        handleOne(request, entry, std::move(one));
    };
    batch->charge = [request](const Json &entry) { return request->charge(entry); };
    batch->done = std::move(done);
    batch->run();
}

void Dispatcher::handleOne(const std::shared_ptr<Request> &request, const Json &entry,
                           std::function<void(Json)> done)
{
    if (!entry.is_object()) {
        done(errorReply(nullptr, kParseError));
        return;
    }
    Json id = entry.value("id", Json());
    auto version = entry.find("jsonrpc");
    if (version == entry.end() || *version != "2.0") {
        done(errorReply(id, kParseError));
        return;
    }
    auto method = entry.find("method");
    if (method == entry.end() || !method->is_string()) {
        done(errorReply(id, kInvalidRequest));
        return;
    }
    auto params = entry.find("params");
    if (*method == "call") {
        if (params == entry.end()) {
            done(errorReply(id, kParseError));
            return;
        }
        call(request, id, *params, std::move(done));
    } else if (*method == "list") {
        list(request, id, params == entry.end() ? nullptr : &*params, std::move(done));
    } else {
        done(errorReply(id, kMethodNotFound));
    }
}

void Dispatcher::call(const std::shared_ptr<Request> &request, const Json &id, const Json &params,
                      std::function<void(Json)> done)
{
    // Anything but [session, object, method, {arguments}] is unreadable to
    // the device's server, which answers it as a parse error.
    if (!params.is_array() || params.size() != 4 || !params[0].is_string() || !params[1].is_string() ||
        !params[2].is_string() || !params[3].is_object()) {
        done(errorReply(id, kParseError));
        return;
    }
    const std::string &sid = params[0].get_ref<const std::string &>();
    const std::string &object = params[1].get_ref<const std::string &>();
    const std::string &method = params[2].get_ref<const std::string &>();
    const Json &given = params[3];
    if (given.contains("ubus_rpc_session") || nestingDepth(given) > kMaxArgsDepth) {
        done(errorReply(id, kInvalidParams));
        return;
    }
    if (sessions_ && object == "session" && method == "login") {
        Json data;
        int status = sessions_->login(given, data);
        Json result = Json::array({status});
        if (status == 0)
            result.push_back(std::move(data));
        done(resultReply(id, std::move(result)));
        return;
    }
    bool allowed = sessions_ ? sessions_->allowed(sid, object, method) : sid == kAnonymousSession;
    if (!allowed) {
        done(errorReply(id, kAccessDenied));
        return;
    }
    int timeoutMs = request->remainingMs();
    if (timeoutMs <= 0) {
        done(errorReply(id, kTimeout));
        return;
    }
    Json args = given;
    args["ubus_rpc_session"] = sid;
    bus_.call(object, method, args, timeoutMs, [id, done](CallOutcome o) {
        switch (o.kind) {
        case CallOutcome::NoObject:
            done(errorReply(id, kObjectNotFound));
            return;
        case CallOutcome::NotSent:
        case CallOutcome::TooLarge:
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
}

namespace {

// The patterns of one list request, looked up one after the other.
struct Listing : std::enable_shared_from_this<Listing> {
    Bus *bus = nullptr;
    std::vector<std::string> patterns;
    size_t next = 0;
    bool pathsOnly = false;
    std::function<int()> remainingMs;
    Json id;
    Json found;
    std::function<void(Json)> done;

    void run()
    {
        if (next == patterns.size()) {
            done(resultReply(id, std::move(found)));
            return;
        }
        int timeoutMs = remainingMs();
        if (timeoutMs <= 0) {
            done(errorReply(id, kTimeout));
            return;
        }
        auto self = shared_from_this();
        bus->list(patterns[next++], timeoutMs, [self](ListOutcome o) {
            if (o.kind != ListOutcome::Answered) {
                self->done(errorReply(self->id, o.kind == ListOutcome::TimedOut ? kTimeout : kInternalError));
                return;
            }
            for (ObjectEntry &e : o.objects) {
                if (self->pathsOnly)
                    self->found.push_back(e.path);
                else
                    self->found[e.path] = std::move(e.signature);
            }
            self->run();
        });
    }
};

}  // namespace

void Dispatcher::list(const std::shared_ptr<Request> &request, const Json &id, const Json *params,
                      std::function<void(Json)> done)
{
    auto listing = std::make_shared<Listing>();
    listing->bus = &bus_;
    listing->id = id;
    listing->done = std::move(done);
    listing->remainingMs = [request] { return request->remainingMs(); };
    // Patterns come only as an array; anything else lists every path.
    if (!params || !params->is_array()) {
        listing->pathsOnly = true;
        listing->found = Json::array();
        listing->patterns.push_back("");
    } else {
        listing->found = Json::object();
        std::set<std::string> seen;
        for (const Json &pattern : *params) {
            // Every pattern is a lookup on the broker; a request pays for few.
            if (!pattern.is_string() || seen.size() > limits_.maxPatterns) {
                listing->done(errorReply(id, kInvalidParams));
                return;
            }
            const std::string &p = pattern.get_ref<const std::string &>();
            if (seen.insert(p).second)
                listing->patterns.push_back(p);
        }
        if (seen.size() > limits_.maxPatterns) {
            listing->done(errorReply(id, kInvalidParams));
            return;
        }
    }
    listing->run();
}

}  // namespace ubusgw
