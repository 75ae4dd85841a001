// Host message broker: accepts bus clients on a Unix socket, keeps the
// object directory and routes calls and their replies between clients.
#ifndef UBUSD_BROKER_H
#define UBUSD_BROKER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct blob_attr;

namespace ubusd {

// Clients the descriptor limit leaves room for: the soft RLIMIT_NOFILE less
// the broker's own descriptors and one spare to turn away a connection over
// the cap.
size_t clientCapFromDescriptorLimit();

struct Limits {
    size_t maxClients = clientCapFromDescriptorLimit();
    size_t maxObjectsPerClient = 1024;
    // Bytes a client keeps registered: object paths, signatures and the
    // broker's bookkeeping per object.
    size_t maxRegisteredBytesPerClient = 4u << 20;
    // Event patterns a single client may keep registered, and their bytes.
    size_t maxEventPatternsPerClient = 1024;
    size_t maxEventPatternBytesPerClient = 256u << 10;
    // Bytes queued for a client that its own requests caused: the broker's
    // replies and the answers to its calls. At this mark the broker stops
    // reading that client; at half of it, it reads again.
    size_t maxHeldBytesPerClient = 1u << 20;
    // Of those, the unread bytes at which a client is disconnected rather
    // than losing messages: answers to calls it made still arrive after the
    // broker has stopped reading it.
    size_t maxQueuedBytesPerClient = 4u << 20;
    // Bytes of one client's calls and events that may wait at any one other
    // client that reads more slowly than they come. Beyond it a call is
    // refused with UBUS_STATUS_NO_MEMORY and an event is not queued for that
    // listener (counted, reported, and the sender told so): the sender pays
    // for its flood, neither the receiver nor the other senders do.
    size_t maxForwardedBytesPerClient = 64u << 10;
    // All calls and events waiting in the broker together: the bound on
    // what many senders times many slow receivers could otherwise queue.
    size_t maxForwardedBytesTotal = 8u << 20;
    // Calls of one client passed to owners and not answered yet; past it the
    // oldest is forgotten (its caller has long timed out).
    size_t maxOpenCallsPerClient = 1024;
};

// True when an event id is delivered to a listener registered with this
// pattern: the same text, or a pattern ending in '*' whose text before the
// '*' starts the id ("*" alone matches every id).
bool eventPatternMatches(const std::string &pattern, const std::string &id);

class Broker {
public:
    explicit Broker(std::string socketPath, Limits limits = Limits());
    ~Broker();
    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;

    // Creates the listening socket; prints the reason and returns false on failure.
    bool open();
    // Serves until SIGINT or SIGTERM; returns the process exit status.
    int run();

    // In-process driving without a listening socket or signal handling
    // (fuzzing, tests): the caller hands over connected sockets and turns
    // the loop itself. Same protocol handling as a served connection.
    bool openDetached();
    // Takes over a connected stream socket as if accept() had returned it
    // (the client gets its HELLO); returns the client id, or 0 if refused,
    // in which case the socket is closed.
    uint32_t adoptClient(int fd);
    // Handles whatever is ready, without blocking, until nothing is; false on
    // an event-loop error.
    bool runUntilIdle();
    // Makes the id sequence repeatable, so recorded input can refer to ids.
    void seedIds(uint32_t seed) { rng_.seed(seed); }
    // Bytes of calls and events waiting for their receivers, all clients together.
    size_t forwardedBytes() const { return forwardedTotal_; }

private:
    struct Client;
    struct ObjectType;

    struct Object {
        uint32_t id = 0;
        const std::string *path = nullptr;  // the directory's key; null if unnamed
        Client *owner = nullptr;
        ObjectType *type = nullptr;
        std::vector<std::string> patterns;  // event patterns it listens to
    };

    struct ObjectType {
        uint32_t id = 0;
        int refcount = 0;
        uint32_t creator = 0;
        size_t bytes = 0;
        // Each entry is one method table exactly as the publisher sent it.
        std::vector<std::vector<uint8_t>> methods;
    };

    // A queued message and the client whose request made the broker hold it.
    struct Queued {
        std::vector<uint8_t> data;
        uint32_t payer = 0;
        size_t charged = 0;
        bool own = true;  // charged to its receiver; else to payer's share there
    };

    // A listing of many objects, written only as fast as the client reads.
    struct Lookup {
        uint16_t seq = 0;
        uint32_t peer = 0;
        std::string prefix;  // objects whose path starts so are listed
        std::string last;    // path of the last object written
        bool started = false;
        bool found = false;
        bool all = false;  // no path asked for: status 0 even when empty
    };

    struct Client {
        int fd = -1;
        uint32_t id = 0;
        std::string user;
        std::string group;
        bool dead = false;

        // Input: 12 bytes of header first, then the rest of the root attribute.
        std::vector<uint8_t> in;
        size_t inHave = 0;

        std::deque<Queued> out;
        size_t outOffset = 0;  // bytes of out.front() already written
        size_t outQueued = 0;  // bytes charged for what waits in out
        uint32_t polling = 0;  // epoll events currently asked for

        size_t held = 0;  // the part of outQueued its own requests caused
        bool throttled = false;
        // Of the rest, the bytes each other client's calls and events hold here.
        std::unordered_map<uint32_t, size_t> inbound;
        std::unique_ptr<Lookup> lookup;  // a listing still being written

        // Calls passed to owners and not answered yet, by (seq << 32 | object
        // id), with their order, so that only real answers reach this client.
        std::unordered_map<uint64_t, uint64_t> openCalls;
        std::deque<std::pair<uint64_t, uint64_t>> openOrder;
        uint64_t openSerial = 0;

        // Events not queued for it since the last report, and when that was.
        size_t eventsMissed = 0;
        int64_t missedReportMs = 0;

        std::vector<Object *> objects;
        size_t registered = 0;  // paths, signatures, per-object bookkeeping
        size_t patternCount = 0;
        size_t patternBytes = 0;
    };

    using Attrs = blob_attr *[14];

    enum class Step { Idle, Handled, Stop, Error };
    Step step(int timeoutMs);
    void acceptClients();
    uint32_t addClient(int fd);
    void handleClientEvent(Client &c, uint32_t events);
    bool readClient(Client &c);
    void flushClient(Client &c);
    void updatePolling(Client &c);
    void release(Client &c, const Queued &q);
    void openCall(Client &caller, uint16_t seq, uint32_t object);
    bool closeCall(Client &caller, uint16_t seq, uint32_t object, bool last);
    void noteMissedEvent(Client &listener);
    void reportMissedEvents(Client &listener);
    void pumpLookup(Client &c);
    void markDead(Client &c);
    void destroyClient(uint32_t id);
    void reapDead();

    void dispatch(Client &c, std::vector<uint8_t> &msg);
    int handleAddObject(Client &c, const uint8_t *hdr, Attrs &tb);
    int handleRemoveObject(Client &c, const uint8_t *hdr, Attrs &tb);
    int handleLookup(Client &c, const uint8_t *hdr, Attrs &tb);
    int handleInvoke(Client &c, const uint8_t *hdr, Attrs &tb);
    void handleResponse(Client &c, std::vector<uint8_t> &msg, Attrs &tb);

    // The broker's own event object (id 1): "register" and "send".
    int handleEventInvoke(Client &c, const char *method, const blob_attr *data);
    int registerEventPattern(Client &c, const blob_attr *data);
    int forwardEvent(Client &c, const blob_attr *data);
    // Delivers to every listener object whose pattern matches, once each,
    // except those of the sender (nullptr: the broker itself); the copies
    // are charged to payer. UBUS_STATUS_NO_MEMORY when a listener did not get it.
    int deliverEvent(const Client *sender, uint32_t payer, const char *id, const void *data, size_t len);
    // ubus.object.add/remove wait until the current reply is out.
    void queueObjectEvent(const char *id, const Object &obj);
    void flushObjectEvents();

    // Queues msg for c, charged to c: a reply or answer it asked for.
    void send(Client &c, std::vector<uint8_t> msg);
    // Queues a call or event of payer for c within payer's share there and
    // the broker's total; false, with nothing sent, when it does not fit.
    bool forward(Client &c, std::vector<uint8_t> msg, uint32_t payer);
    bool enqueue(Client &c, std::vector<uint8_t> &msg, uint32_t payer, bool own);
    void sendStatus(Client &c, const uint8_t *hdr, int status);
    void sendStatus(Client &c, uint16_t seq, uint32_t peer, int status);
    std::vector<uint8_t> buildObjectData(uint16_t seq, uint32_t peer, const Object &obj);

    ObjectType *createType(Client &c, const blob_attr *signature);
    void releaseType(ObjectType *type);
    void removeObject(Object *obj);
    uint32_t allocateId(const std::unordered_set<uint32_t> &used);

    std::string path_;
    Limits limits_;
    int listenFd_ = -1;
    int epollFd_ = -1;
    int signalFd_ = -1;
    bool socketCreated_ = false;
    uint64_t socketDev_ = 0;
    uint64_t socketIno_ = 0;
    int64_t acceptPausedMs_ = 0;  // monotonic time until which accept() rests

    std::mt19937 rng_;
    std::unordered_map<uint32_t, std::unique_ptr<Client>> clients_;
    std::unordered_map<uint32_t, std::unique_ptr<Object>> objects_;
    std::unordered_map<uint32_t, std::unique_ptr<ObjectType>> types_;
    std::unordered_set<uint32_t> clientIds_, objectIds_, typeIds_;
    std::map<std::string, Object *> paths_;
    std::vector<uint32_t> dead_;

    std::vector<Object *> listeners_;  // objects with event patterns, oldest first
    uint16_t eventSeq_ = 0;
    struct ObjectEvent {
        std::string id;
        std::vector<uint8_t> data;
        uint32_t payer;  // the client whose registration caused it
    };
    std::vector<ObjectEvent> objectEvents_;
    size_t forwardedTotal_ = 0;
    bool closing_ = false;  // no events while the broker itself shuts down
};

}  // namespace ubusd

#endif
