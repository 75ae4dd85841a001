#include "broker.h"

#include <libubus.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace ubusd {

namespace {

constexpr uint64_t kListenKey = 0;
constexpr uint64_t kSignalKey = 1;
constexpr size_t kHeaderLen = 8;
constexpr size_t kFirstRead = kHeaderLen + 4;  // header plus the root's own header word
constexpr size_t kMaxMsgLen = UBUS_MAX_MSGLEN;
constexpr int kAcceptBackoffMs = 100;
// A listing is written ahead of the client's reading by at most this much.
constexpr size_t kLookupAheadBytes = 64 * 1024;
// What one object costs the broker besides its path: the object, its entry
// in the directory and in the owner's list.
constexpr size_t kObjectBookkeeping = 128;
// What a queued message costs besides its bytes (its entry, the vector, the
// allocator's rounding), so that floods of small messages count fairly.
constexpr size_t kQueuedOverhead = 64;
// A message body is taken in pieces of this size, so that memory follows the
// bytes a client has really sent, not the length its header claims.
constexpr size_t kInputChunk = 64 * 1024;
// A listener that keeps missing events is reported at most this often.
constexpr int64_t kMissedReportMs = 10000;

// One shared scratch buffer for building replies; the broker is single-threaded.
blob_buf g_buf;
// Event data is built apart, since delivering it uses g_buf.
blob_buf g_event;

constexpr const char *kObjectAddEvent = "ubus.object.add";
constexpr const char *kObjectRemoveEvent = "ubus.object.remove";

int64_t nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

size_t padded(size_t len)
{
    return (len + 3) & ~static_cast<size_t>(3);
}

uint32_t rootRawLen(const uint8_t *msg)
{
    return (static_cast<uint32_t>(msg[9]) << 16) | (static_cast<uint32_t>(msg[10]) << 8) | msg[11];
}

uint16_t hdrSeq(const uint8_t *hdr)
{
    return static_cast<uint16_t>((hdr[2] << 8) | hdr[3]);
}

uint32_t hdrPeer(const uint8_t *hdr)
{
    return (static_cast<uint32_t>(hdr[4]) << 24) | (static_cast<uint32_t>(hdr[5]) << 16) |
           (static_cast<uint32_t>(hdr[6]) << 8) | hdr[7];
}

std::vector<uint8_t> makeMsg(uint8_t type, uint16_t seq, uint32_t peer, const blob_attr *root)
{
    size_t rootLen = blob_raw_len(root);
    std::vector<uint8_t> msg(kHeaderLen + rootLen);
    msg[0] = 0;
    msg[1] = type;
    msg[2] = static_cast<uint8_t>(seq >> 8);
    msg[3] = static_cast<uint8_t>(seq);
    msg[4] = static_cast<uint8_t>(peer >> 24);
    msg[5] = static_cast<uint8_t>(peer >> 16);
    msg[6] = static_cast<uint8_t>(peer >> 8);
    msg[7] = static_cast<uint8_t>(peer);
    memcpy(msg.data() + kHeaderLen, root, rootLen);
    return msg;
}

bool isString(const blob_attr *a)
{
    size_t len = blob_len(a);
    return len >= 1 && static_cast<const char *>(blob_data(a))[len - 1] == '\0';
}

// Splits the root into its top-level attributes. Every child is bounds-checked
// against the received bytes before anything reads it; a child that fails its
// type rule counts as absent and the last occurrence of an id wins.
void parseAttrs(uint8_t *rootBytes, blob_attr *(&tb)[UBUS_ATTR_MAX])
{
    for (auto &slot : tb)
        slot = nullptr;

    auto *root = reinterpret_cast<blob_attr *>(rootBytes);
    size_t rem = blob_raw_len(root) - 4;
    uint8_t *pos = rootBytes + 4;
    while (rem >= 4) {
        auto *a = reinterpret_cast<blob_attr *>(pos);
        size_t raw = blob_raw_len(a);
        if (raw < 4 || padded(raw) > rem)
            break;
        unsigned id = blob_id(a);
        bool ok = true;
        switch (id) {
        case UBUS_ATTR_STATUS:
        case UBUS_ATTR_OBJID:
        case UBUS_ATTR_OBJTYPE:
            ok = blob_len(a) == 4;
            break;
        case UBUS_ATTR_OBJPATH:
        case UBUS_ATTR_METHOD:
        case UBUS_ATTR_USER:
        case UBUS_ATTR_GROUP:
            ok = isString(a);
            break;
        default:
            break;
        }
        if (ok && id < UBUS_ATTR_MAX)
            tb[id] = a;
        rem -= padded(raw);
        pos += padded(raw);
    }
}

std::string userName(uid_t uid)
{
    // Without a passwd entry the caller is still served, named by its number.
    if (const passwd *pw = getpwuid(uid))
        return pw->pw_name;
    return std::to_string(uid);
}

std::string groupName(gid_t gid)
{
    if (const group *gr = getgrgid(gid))
        return gr->gr_name;
    return std::to_string(gid);
}

}  // namespace

bool eventPatternMatches(const std::string &pattern, const std::string &id)
{
    if (!pattern.empty() && pattern.back() == '*')
        return id.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    return pattern == id;
}

size_t clientCapFromDescriptorLimit()
{
    // stdin/out/err, the listening socket, epoll, the signalfd, and room to
    // accept and close one connection over the cap.
    constexpr rlim_t kReserved = 8;
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return 1024;
    if (rl.rlim_cur <= kReserved)
        return 1;
    return static_cast<size_t>(rl.rlim_cur - kReserved);
}

Broker::Broker(std::string socketPath, Limits limits)
    : path_(std::move(socketPath)), limits_(limits), rng_(std::random_device{}())
{
}

Broker::~Broker()
{
    closing_ = true;
    std::vector<uint32_t> ids;
    for (auto &entry : clients_)
        ids.push_back(entry.first);
    for (uint32_t id : ids)
        destroyClient(id);
    if (listenFd_ >= 0)
        close(listenFd_);
    if (signalFd_ >= 0)
        close(signalFd_);
    if (epollFd_ >= 0)
        close(epollFd_);
    if (socketCreated_) {
        // Only remove the socket if it is still ours and nobody replaced it.
        struct stat st {};
        if (lstat(path_.c_str(), &st) == 0 && st.st_dev == socketDev_ && st.st_ino == socketIno_)
            unlink(path_.c_str());
    }
    blob_buf_free(&g_buf);
    blob_buf_free(&g_event);
}

bool Broker::open()
{
    sockaddr_un addr{};
    if (path_.empty() || path_.size() >= sizeof(addr.sun_path)) {
        fprintf(stderr, "ubusd: socket path is empty or too long: %s\n", path_.c_str());
        return false;
    }
    memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    addr.sun_family = AF_UNIX;

    // SIGINT/SIGTERM are taken through a signalfd so the socket is always removed.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signalFd_ = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    if (signalFd_ < 0 || epollFd_ < 0) {
        perror("ubusd: event set-up");
        return false;
    }

    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            fprintf(stderr, "ubusd: %s exists and is not a socket, not replacing it\n", path_.c_str());
            return false;
        }
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
        if (probe >= 0)
            close(probe);
        if (live) {
            fprintf(stderr, "ubusd: another broker is serving %s\n", path_.c_str());
            return false;
        }
        unlink(path_.c_str());
    }

    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        perror("ubusd: socket");
        return false;
    }
    mode_t old = umask(0111);
    int rc = bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    umask(old);
    if (rc < 0) {
        fprintf(stderr, "ubusd: bind %s: %s\n", path_.c_str(), strerror(errno));
        return false;
    }
    socketCreated_ = true;
    chmod(path_.c_str(), 0666);
    if (lstat(path_.c_str(), &st) == 0) {
        socketDev_ = st.st_dev;
        socketIno_ = st.st_ino;
    }
    if (listen(listenFd_, SOMAXCONN) < 0) {
        perror("ubusd: listen");
        return false;
    }

    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenKey;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev);
    ev.data.u64 = kSignalKey;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, signalFd_, &ev);
    return true;
}

bool Broker::openDetached()
{
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) {
        perror("ubusd: event set-up");
        return false;
    }
    return true;
}

int Broker::run()
{
    for (;;) {
        int timeout = -1;
        if (acceptPausedMs_) {
            int64_t left = acceptPausedMs_ - nowMs();
            timeout = left > 0 ? static_cast<int>(left) : 0;
        }
        switch (step(timeout)) {
        case Step::Stop:
            return 0;
        case Step::Error:
            return 1;
        default:
            break;
        }
    }
}

bool Broker::runUntilIdle()
{
    for (;;) {
        switch (step(0)) {
        case Step::Idle:
            return true;
        case Step::Handled:
            break;
        default:
            return false;
        }
    }
}

Broker::Step Broker::step(int timeoutMs)
{
    epoll_event events[64];
    int n = epoll_wait(epollFd_, events, 64, timeoutMs);
    if (n < 0) {
        if (errno == EINTR)
            return Step::Handled;  // nothing lost; the caller simply asks again
        perror("ubusd: epoll_wait");
        return Step::Error;
    }
    if (acceptPausedMs_ && nowMs() >= acceptPausedMs_) {
        acceptPausedMs_ = 0;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kListenKey;
        epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &ev);
    }
    for (int i = 0; i < n; ++i) {
        uint64_t key = events[i].data.u64;
        if (key == kListenKey) {
            acceptClients();
        } else if (key == kSignalKey) {
            signalfd_siginfo info{};
            if (read(signalFd_, &info, sizeof(info)) > 0)
                return Step::Stop;
        } else {
            auto it = clients_.find(static_cast<uint32_t>(key));
            if (it != clients_.end() && !it->second->dead)
                handleClientEvent(*it->second, events[i].events);
        }
    }
    reapDead();
    return n > 0 ? Step::Handled : Step::Idle;
}

void Broker::acceptClients()
{
    for (int round = 0; round < 64; ++round) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: rest a moment instead of spinning on a ready socket.
                epoll_event ev{};
                ev.data.u64 = kListenKey;
                epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &ev);
                acceptPausedMs_ = nowMs() + kAcceptBackoffMs;
            }
            return;
        }
        addClient(fd);
    }
}

uint32_t Broker::adoptClient(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) {
        close(fd);
        return 0;
    }
    return addClient(fd);
}

uint32_t Broker::addClient(int fd)
{
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (clients_.size() >= limits_.maxClients || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0) {
        close(fd);  // no HELLO: the peer's connect fails cleanly
        return 0;
    }

    auto client = std::make_unique<Client>();
    client->fd = fd;
    client->id = allocateId(clientIds_);
    client->user = userName(cred.uid);
    client->group = groupName(cred.gid);

    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = client->id;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) < 0) {
        close(fd);
        return 0;
    }
    client->polling = ev.events;
    Client &c = *client;
    clientIds_.insert(c.id);
    clients_.emplace(c.id, std::move(client));

    // The socket is new and empty, so these 12 bytes go out in one write.
    blob_buf_init(&g_buf, 0);
    send(c, makeMsg(UBUS_MSG_HELLO, 0, c.id, g_buf.head));
    return c.id;
}

void Broker::handleClientEvent(Client &c, uint32_t events)
{
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) {
        if (c.polling & EPOLLIN) {
            if (!readClient(c)) {
                markDead(c);
                return;
            }
        } else if (events & EPOLLHUP) {
            // Gone while not being read: nothing it sent can be answered.
            markDead(c);
            return;
        }
    }
    if (events & EPOLLERR) {
        markDead(c);
        return;
    }
    if (!c.dead && (events & EPOLLOUT))
        flushClient(c);
}

bool Broker::readClient(Client &c)
{
    for (int round = 0; round < 64 && !c.dead; ++round) {
        size_t want;
        if (c.inHave < kFirstRead) {
            if (c.in.size() < kFirstRead)
                c.in.resize(kFirstRead);
            want = kFirstRead;
        } else {
            want = kHeaderLen + rootRawLen(c.in.data());
            size_t upTo = std::min(want, c.inHave + kInputChunk);
            if (c.in.size() < upTo)
                c.in.resize(upTo);
            want = upTo;
        }
        ssize_t n = recv(c.fd, c.in.data() + c.inHave, want - c.inHave, 0);
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            if (errno == EINTR)
                continue;
            return false;
        }
        c.inHave += static_cast<size_t>(n);
        if (c.inHave < want)
            continue;

        if (c.inHave == kFirstRead) {
            // The root's length decides the framing; nonsense here cannot be resynchronised.
            uint32_t raw = rootRawLen(c.in.data());
            if (raw < 4 || padded(raw) > kMaxMsgLen)
                return false;
        }
        if (c.inHave < kHeaderLen + rootRawLen(c.in.data()))
            continue;
        // Zeroed padding keeps every walk over the attributes inside the buffer.
        c.in.resize(kHeaderLen + padded(rootRawLen(c.in.data())));

        std::vector<uint8_t> msg;
        msg.swap(c.in);
        c.inHave = 0;
        dispatch(c, msg);
        // Its own requests filled what it has not read yet: read on later.
        if (c.throttled || c.lookup)
            break;
    }
    return true;
}

void Broker::dispatch(Client &c, std::vector<uint8_t> &msg)
{
    blob_attr *tb[UBUS_ATTR_MAX];
    parseAttrs(msg.data() + kHeaderLen, tb);
    const uint8_t *hdr = msg.data();

    int ret;
    switch (msg[1]) {
    case UBUS_MSG_PING: {
        std::vector<uint8_t> pong(msg.begin(), msg.begin() + kHeaderLen + rootRawLen(hdr));
        pong[0] = 0;  // the client's library drops the connection on any other version
        pong[1] = UBUS_MSG_DATA;
        send(c, std::move(pong));
        ret = 0;
        break;
    }
    case UBUS_MSG_LOOKUP:
        ret = handleLookup(c, hdr, tb);
        break;
    case UBUS_MSG_INVOKE:
        ret = handleInvoke(c, hdr, tb);
        break;
    case UBUS_MSG_ADD_OBJECT:
        ret = handleAddObject(c, hdr, tb);
        break;
    case UBUS_MSG_REMOVE_OBJECT:
        ret = handleRemoveObject(c, hdr, tb);
        break;
    case UBUS_MSG_STATUS:
    case UBUS_MSG_DATA:
        handleResponse(c, msg, tb);
        ret = -1;
        break;
    case UBUS_MSG_SUBSCRIBE:
    case UBUS_MSG_UNSUBSCRIBE:
    case UBUS_MSG_NOTIFY:
    case UBUS_MSG_MONITOR:
        ret = UBUS_STATUS_NOT_SUPPORTED;
        break;
    default:
        ret = UBUS_STATUS_INVALID_COMMAND;
        break;
    }
    if (ret != -1)
        sendStatus(c, hdr, ret);
    flushObjectEvents();
}

int Broker::handleAddObject(Client &c, const uint8_t *hdr, Attrs &tb)
{
    if (c.objects.size() >= limits_.maxObjectsPerClient)
        return UBUS_STATUS_NO_MEMORY;

    std::string path;
    bool hasPath = tb[UBUS_ATTR_OBJPATH] != nullptr;
    if (hasPath) {
        path = static_cast<const char *>(blob_data(tb[UBUS_ATTR_OBJPATH]));
        if (paths_.count(path))
            return UBUS_STATUS_INVALID_ARGUMENT;
    }

    size_t cost = kObjectBookkeeping + path.size();
    if (!tb[UBUS_ATTR_OBJTYPE] && tb[UBUS_ATTR_SIGNATURE])
        cost += blob_len(tb[UBUS_ATTR_SIGNATURE]);
    if (c.registered + cost > limits_.maxRegisteredBytesPerClient)
        return UBUS_STATUS_NO_MEMORY;

    ObjectType *type = nullptr;
    if (tb[UBUS_ATTR_OBJTYPE]) {
        auto it = types_.find(blob_get_u32(tb[UBUS_ATTR_OBJTYPE]));
        if (it != types_.end())
            type = it->second.get();
    } else if (tb[UBUS_ATTR_SIGNATURE]) {
        type = createType(c, tb[UBUS_ATTR_SIGNATURE]);
    }

    auto obj = std::make_unique<Object>();
    obj->id = allocateId(objectIds_);
    obj->owner = &c;
    obj->type = type;
    if (type)
        type->refcount++;

    // The directory's key is the only copy of the path.
    auto slot = paths_.end();
    if (hasPath) {
        slot = paths_.emplace(path, nullptr).first;
        obj->path = &slot->first;
    }
    if (hasPath && type) {
        // Every later lookup must fit in one message, or listing would break clients.
        std::vector<uint8_t> probe = buildObjectData(hdrSeq(hdr), hdrPeer(hdr), *obj);
        if (padded(probe.size() - kHeaderLen) > kMaxMsgLen) {
            paths_.erase(slot);
            releaseType(type);
            return UBUS_STATUS_INVALID_ARGUMENT;
        }
    }

    Object *o = obj.get();
    objectIds_.insert(o->id);
    objects_.emplace(o->id, std::move(obj));
    if (hasPath)
        slot->second = o;
    c.objects.push_back(o);
    c.registered += kObjectBookkeeping + path.size();

    blob_buf_init(&g_buf, 0);
    blob_put_int32(&g_buf, UBUS_ATTR_OBJID, o->id);
    if (tb[UBUS_ATTR_SIGNATURE] && type)
        blob_put_int32(&g_buf, UBUS_ATTR_OBJTYPE, type->id);
    send(c, makeMsg(UBUS_MSG_DATA, hdrSeq(hdr), hdrPeer(hdr), g_buf.head));
    if (hasPath)
        queueObjectEvent(kObjectAddEvent, *o);
    return 0;
}

Broker::ObjectType *Broker::createType(Client &c, const blob_attr *signature)
{
    auto type = std::make_unique<ObjectType>();
    size_t rem = blob_len(signature);
    auto *pos = static_cast<uint8_t *>(blob_data(signature));
    while (rem >= 4) {
        auto *a = reinterpret_cast<blob_attr *>(pos);
        size_t raw = blob_raw_len(a);
        if (raw < 4 || padded(raw) > rem)
            break;
        // A malformed method table costs the object its type, not the registration.
        if (!blobmsg_check_attr(a, true))
            return nullptr;
        type->methods.emplace_back(pos, pos + raw);
        type->bytes += raw;
        rem -= padded(raw);
        pos += padded(raw);
    }
    type->id = allocateId(typeIds_);
    type->creator = c.id;
    c.registered += type->bytes;
    ObjectType *t = type.get();
    typeIds_.insert(t->id);
    types_.emplace(t->id, std::move(type));
    return t;
}

void Broker::releaseType(ObjectType *type)
{
    if (--type->refcount > 0)
        return;
    auto creator = clients_.find(type->creator);
    if (creator != clients_.end())
        creator->second->registered -= std::min(creator->second->registered, type->bytes);
    typeIds_.erase(type->id);
    types_.erase(type->id);
}

int Broker::handleRemoveObject(Client &c, const uint8_t *hdr, Attrs &tb)
{
    if (!tb[UBUS_ATTR_OBJID])
        return UBUS_STATUS_INVALID_ARGUMENT;
    auto it = objects_.find(blob_get_u32(tb[UBUS_ATTR_OBJID]));
    if (it == objects_.end())
        return UBUS_STATUS_NOT_FOUND;
    Object *obj = it->second.get();
    if (obj->owner != &c)
        return UBUS_STATUS_PERMISSION_DENIED;

    blob_buf_init(&g_buf, 0);
    blob_put_int32(&g_buf, UBUS_ATTR_OBJID, obj->id);
    // Tell the owner when its type id stops being valid, so it re-sends the signature.
    if (obj->type && obj->type->refcount == 1)
        blob_put_int32(&g_buf, UBUS_ATTR_OBJTYPE, obj->type->id);
    std::vector<uint8_t> reply = makeMsg(UBUS_MSG_DATA, hdrSeq(hdr), hdrPeer(hdr), g_buf.head);
    removeObject(obj);
    send(c, std::move(reply));
    return 0;
}

void Broker::removeObject(Object *obj)
{
    Client &owner = *obj->owner;
    size_t cost = kObjectBookkeeping;
    if (obj->path) {
        queueObjectEvent(kObjectRemoveEvent, *obj);
        cost += obj->path->size();
        paths_.erase(paths_.find(*obj->path));
        obj->path = nullptr;
    }
    owner.registered -= std::min(owner.registered, cost);
    if (!obj->patterns.empty()) {
        listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), obj), listeners_.end());
        for (const std::string &pattern : obj->patterns) {
            owner.patternCount--;
            owner.patternBytes -= pattern.size();
        }
    }
    auto &list = owner.objects;
    list.erase(std::remove(list.begin(), list.end(), obj), list.end());
    if (obj->type)
        releaseType(obj->type);
    uint32_t id = obj->id;
    objectIds_.erase(id);
    objects_.erase(id);
}

std::vector<uint8_t> Broker::buildObjectData(uint16_t seq, uint32_t peer, const Object &obj)
{
    blob_buf_init(&g_buf, 0);
    blob_put_string(&g_buf, UBUS_ATTR_OBJPATH, obj.path->c_str());
    blob_put_int32(&g_buf, UBUS_ATTR_OBJID, obj.id);
    blob_put_int32(&g_buf, UBUS_ATTR_OBJTYPE, obj.type->id);
    void *sig = blob_nest_start(&g_buf, UBUS_ATTR_SIGNATURE);
    for (auto &method : obj.type->methods)
        blobmsg_add_blob(&g_buf, reinterpret_cast<blob_attr *>(method.data()));
    blob_nest_end(&g_buf, sig);
    return makeMsg(UBUS_MSG_DATA, seq, peer, g_buf.head);
}

int Broker::handleLookup(Client &c, const uint8_t *hdr, Attrs &tb)
{
    auto listing = std::make_unique<Lookup>();
    listing->seq = hdrSeq(hdr);
    listing->peer = hdrPeer(hdr);
    if (!tb[UBUS_ATTR_OBJPATH]) {
        listing->all = true;
    } else {
        std::string path = static_cast<const char *>(blob_data(tb[UBUS_ATTR_OBJPATH]));
        if (path.empty())
            return UBUS_STATUS_INVALID_ARGUMENT;
        if (path.back() != '*') {
            auto it = paths_.find(path);
            if (it == paths_.end())
                return UBUS_STATUS_NOT_FOUND;
            if (it->second->type)
                send(c, buildObjectData(listing->seq, listing->peer, *it->second));
            return 0;
        }
        path.pop_back();
        listing->prefix = std::move(path);
    }
    // However long the listing, it is produced only as the client reads it;
    // the client's further requests wait until its status has gone out.
    c.lookup = std::move(listing);
    updatePolling(c);
    pumpLookup(c);
    return -1;
}

void Broker::pumpLookup(Client &c)
{
    while (c.lookup && !c.dead && c.outQueued < kLookupAheadBytes) {
        Lookup &l = *c.lookup;
        auto it = l.started ? paths_.upper_bound(l.last) : paths_.lower_bound(l.prefix);
        if (it == paths_.end() || it->first.compare(0, l.prefix.size(), l.prefix) != 0) {
            int status = l.found || l.all ? 0 : UBUS_STATUS_NOT_FOUND;
            uint16_t seq = l.seq;
            uint32_t peer = l.peer;
            c.lookup.reset();
            sendStatus(c, seq, peer, status);
            updatePolling(c);
            return;
        }
        l.last = it->first;
        l.started = true;
        l.found = true;
        if (it->second->type)
            send(c, buildObjectData(l.seq, l.peer, *it->second));
    }
}

int Broker::handleInvoke(Client &c, const uint8_t *hdr, Attrs &tb)
{
    if (!tb[UBUS_ATTR_METHOD] || !tb[UBUS_ATTR_OBJID])
        return UBUS_STATUS_INVALID_ARGUMENT;
    if (blob_get_u32(tb[UBUS_ATTR_OBJID]) == UBUS_SYSTEM_OBJECT_EVENT)
        return handleEventInvoke(c, static_cast<const char *>(blob_data(tb[UBUS_ATTR_METHOD])),
                                 tb[UBUS_ATTR_DATA]);
    // The ACL and monitor objects (ids 2 and 3) are not provided here.
    auto it = objects_.find(blob_get_u32(tb[UBUS_ATTR_OBJID]));
    if (it == objects_.end())
        return UBUS_STATUS_NOT_FOUND;
    Object &obj = *it->second;

    blob_buf_init(&g_buf, 0);
    blob_put_int32(&g_buf, UBUS_ATTR_OBJID, obj.id);
    blob_put_string(&g_buf, UBUS_ATTR_METHOD, static_cast<const char *>(blob_data(tb[UBUS_ATTR_METHOD])));
    blob_put_string(&g_buf, UBUS_ATTR_USER, c.user.c_str());
    blob_put_string(&g_buf, UBUS_ATTR_GROUP, c.group.c_str());
    if (tb[UBUS_ATTR_DATA])
        blob_put(&g_buf, UBUS_ATTR_DATA, blob_data(tb[UBUS_ATTR_DATA]),
                 static_cast<unsigned int>(blob_len(tb[UBUS_ATTR_DATA])));
    std::vector<uint8_t> fwd = makeMsg(UBUS_MSG_INVOKE, hdrSeq(hdr), c.id, g_buf.head);
    // The added caller names may push a maximal request over the limit; the
    // owner's library would take that as a broken stream, so refuse it here.
    if (padded(fwd.size() - kHeaderLen) > kMaxMsgLen)
        return UBUS_STATUS_INVALID_ARGUMENT;
    // Held for the owner on the caller's account, within the caller's share
    // there: a call to an owner that does not keep up (or has stopped
    // reading) is refused at once, and the caller is never stopped for it.
    if (!forward(*obj.owner, std::move(fwd), c.id))
        return UBUS_STATUS_NO_MEMORY;
    openCall(c, hdrSeq(hdr), obj.id);
    return -1;
}

void Broker::handleResponse(Client &c, std::vector<uint8_t> &msg, Attrs &tb)
{
    if (!tb[UBUS_ATTR_OBJID])
        return;
    if (msg[1] == UBUS_MSG_STATUS && !tb[UBUS_ATTR_STATUS])
        return;
    if (msg[1] == UBUS_MSG_DATA && !tb[UBUS_ATTR_DATA])
        return;
    auto obj = objects_.find(blob_get_u32(tb[UBUS_ATTR_OBJID]));
    // Only the owner of an object may answer on its behalf.
    if (obj == objects_.end() || obj->second->owner != &c)
        return;
    auto dest = clients_.find(hdrPeer(msg.data()));
    if (dest == clients_.end())
        return;
    // Only answers to calls the broker passed on, so that nobody can make
    // another client hold what it never asked for.
    if (!closeCall(*dest->second, hdrSeq(msg.data()), obj->second->id, msg[1] == UBUS_MSG_STATUS))
        return;
    // The caller matches replies by object id, so the peer field carries it back.
    memcpy(msg.data() + 4, blob_data(tb[UBUS_ATTR_OBJID]), 4);
    // An owner's odd version byte must not break the caller's connection.
    msg[0] = 0;
    msg.resize(kHeaderLen + rootRawLen(msg.data()));
    // Charged to the caller, who asked for it: an answer never slows its owner.
    send(*dest->second, std::move(msg));
}

void Broker::sendStatus(Client &c, const uint8_t *hdr, int status)
{
    sendStatus(c, hdrSeq(hdr), hdrPeer(hdr), status);
}

void Broker::sendStatus(Client &c, uint16_t seq, uint32_t peer, int status)
{
    blob_buf_init(&g_buf, 0);
    blob_put_int32(&g_buf, UBUS_ATTR_STATUS, static_cast<uint32_t>(status));
    send(c, makeMsg(UBUS_MSG_STATUS, seq, peer, g_buf.head));
}

void Broker::send(Client &c, std::vector<uint8_t> msg)
{
    enqueue(c, msg, c.id, true);
}

bool Broker::forward(Client &c, std::vector<uint8_t> msg, uint32_t payer)
{
    return enqueue(c, msg, payer, false);
}

bool Broker::enqueue(Client &c, std::vector<uint8_t> &msg, uint32_t payer, bool own)
{
    // Nobody will read it; a call to a vanished owner times out at its caller.
    if (c.dead)
        return true;
    if (!own && !c.out.empty()) {
        size_t cost = msg.size() + kQueuedOverhead;
        auto share = c.inbound.find(payer);
        size_t held = share == c.inbound.end() ? 0 : share->second;
        if ((held > 0 && held + cost > limits_.maxForwardedBytesPerClient) ||
            forwardedTotal_ + cost > limits_.maxForwardedBytesTotal)
            return false;
    }

    size_t sent = 0;
    if (c.out.empty()) {
        while (sent < msg.size()) {
            ssize_t n = ::send(c.fd, msg.data() + sent, msg.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            markDead(c);
            return true;
        }
        if (sent == msg.size())
            return true;
        // A started message must go out whole, whatever the bounds say.
        c.outOffset = sent;
    }

    // Nothing accepted is dropped: it waits here, charged to whoever's
    // request caused it.
    Queued q;
    q.payer = payer;
    q.own = own;
    q.charged = msg.size() - sent + kQueuedOverhead;
    q.data = std::move(msg);
    size_t bytes = q.charged;
    c.out.push_back(std::move(q));
    c.outQueued += bytes;
    if (own) {
        c.held += bytes;
        if (c.held > limits_.maxQueuedBytesPerClient) {
            fprintf(stderr, "ubusd: client %08x left %zu bytes unread, disconnecting it\n", c.id, c.held);
            markDead(c);
            return true;
        }
        if (!c.throttled && c.held >= limits_.maxHeldBytesPerClient)
            c.throttled = true;
    } else {
        c.inbound[payer] += bytes;
        forwardedTotal_ += bytes;
    }
    updatePolling(c);
    return true;
}

void Broker::release(Client &c, const Queued &q)
{
    c.outQueued -= std::min(c.outQueued, q.charged);
    if (q.own) {
        c.held -= std::min(c.held, q.charged);
        if (c.throttled && c.held <= limits_.maxHeldBytesPerClient / 2) {
            c.throttled = false;
            updatePolling(c);
        }
        return;
    }
    forwardedTotal_ -= std::min(forwardedTotal_, q.charged);
    auto share = c.inbound.find(q.payer);
    if (share == c.inbound.end())
        return;
    share->second -= std::min(share->second, q.charged);
    if (share->second == 0)
        c.inbound.erase(share);
}

void Broker::flushClient(Client &c)
{
    while (!c.out.empty()) {
        Queued &front = c.out.front();
        ssize_t n = ::send(c.fd, front.data.data() + c.outOffset, front.data.size() - c.outOffset,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            markDead(c);
            return;
        }
        c.outOffset += static_cast<size_t>(n);
        if (c.outOffset == front.data.size()) {
            Queued done = std::move(front);
            c.outOffset = 0;
            c.out.pop_front();
            release(c, done);
        }
    }
    if (c.out.empty() && c.eventsMissed && nowMs() - c.missedReportMs >= kMissedReportMs)
        reportMissedEvents(c);
    updatePolling(c);
    pumpLookup(c);
}

void Broker::updatePolling(Client &c)
{
    if (c.dead)
        return;
    uint32_t want = 0;
    if (!c.throttled && !c.lookup)
        want |= EPOLLIN | EPOLLRDHUP;
    if (!c.out.empty())
        want |= EPOLLOUT;
    if (want == c.polling)
        return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = c.id;
    if (epoll_ctl(epollFd_, EPOLL_CTL_MOD, c.fd, &ev) == 0)
        c.polling = want;
}

void Broker::markDead(Client &c)
{
    if (c.dead)
        return;
    c.dead = true;
    c.lookup.reset();
    std::deque<Queued> out;
    out.swap(c.out);
    dead_.push_back(c.id);
    for (const Queued &q : out)
        release(c, q);
    if (c.eventsMissed)
        reportMissedEvents(c);
}

void Broker::openCall(Client &caller, uint16_t seq, uint32_t object)
{
    uint64_t key = (static_cast<uint64_t>(seq) << 32) | object;
    uint64_t serial = ++caller.openSerial;
    caller.openCalls[key] = serial;
    caller.openOrder.emplace_back(key, serial);
    while (caller.openCalls.size() > limits_.maxOpenCallsPerClient ||
           caller.openOrder.size() > 2 * limits_.maxOpenCallsPerClient) {
        auto oldest = caller.openOrder.front();
        caller.openOrder.pop_front();
        auto it = caller.openCalls.find(oldest.first);
        // Only the entry still standing for that key, not a newer call reusing it.
        if (it != caller.openCalls.end() && it->second == oldest.second)
            caller.openCalls.erase(it);
    }
}

bool Broker::closeCall(Client &caller, uint16_t seq, uint32_t object, bool last)
{
    auto it = caller.openCalls.find((static_cast<uint64_t>(seq) << 32) | object);
    if (it == caller.openCalls.end())
        return false;
    if (last)
        caller.openCalls.erase(it);
    return true;
}

void Broker::noteMissedEvent(Client &listener)
{
    listener.eventsMissed++;
    int64_t now = nowMs();
    if (listener.missedReportMs == 0 || now - listener.missedReportMs >= kMissedReportMs)
        reportMissedEvents(listener);
}

void Broker::reportMissedEvents(Client &listener)
{
    fprintf(stderr, "ubusd: client %08x reads events more slowly than they are sent: %zu not delivered\n",
            listener.id, listener.eventsMissed);
    listener.eventsMissed = 0;
    listener.missedReportMs = nowMs();
}

void Broker::reapDead()
{
    std::vector<uint32_t> ids;
    ids.swap(dead_);
    for (uint32_t id : ids)
        destroyClient(id);
}

void Broker::destroyClient(uint32_t id)
{
    auto it = clients_.find(id);
    if (it == clients_.end())
        return;
    Client &c = *it->second;
    // Callers waiting on these objects hear nothing and time out on their side.
    std::vector<Object *> objs = c.objects;
    for (Object *obj : objs)
        removeObject(obj);
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, c.fd, nullptr);
    close(c.fd);
    clientIds_.erase(id);
    clients_.erase(it);
    flushObjectEvents();
}

int Broker::handleEventInvoke(Client &c, const char *method, const blob_attr *data)
{
    if (strcmp(method, "register") == 0)
        return registerEventPattern(c, data);
    if (strcmp(method, "send") == 0)
        return forwardEvent(c, data);
    return UBUS_STATUS_INVALID_COMMAND;
}

int Broker::registerEventPattern(Client &c, const blob_attr *data)
{
    enum { kObject, kPattern, kCount };
    static const blobmsg_policy policy[kCount] = {
        {"object", BLOBMSG_TYPE_INT32},
        {"pattern", BLOBMSG_TYPE_STRING},
    };
    blob_attr *tb[kCount];
    blobmsg_parse(policy, kCount, tb, data ? blob_data(data) : nullptr,
                  data ? static_cast<unsigned int>(blob_len(data)) : 0);
    if (!tb[kObject] || !tb[kPattern])
        return UBUS_STATUS_INVALID_ARGUMENT;

    uint32_t id = blobmsg_get_u32(tb[kObject]);
    if (id < UBUS_SYSTEM_OBJECT_MAX)
        return UBUS_STATUS_PERMISSION_DENIED;
    auto it = objects_.find(id);
    if (it == objects_.end())
        return UBUS_STATUS_NOT_FOUND;
    Object &obj = *it->second;
    if (obj.owner != &c)
        return UBUS_STATUS_PERMISSION_DENIED;
    std::string pattern = blobmsg_get_string(tb[kPattern]);
    if (pattern.empty())
        return UBUS_STATUS_PERMISSION_DENIED;

    if (std::find(obj.patterns.begin(), obj.patterns.end(), pattern) != obj.patterns.end())
        return 0;  // delivered once per object anyway
    if (c.patternCount >= limits_.maxEventPatternsPerClient ||
        c.patternBytes + pattern.size() > limits_.maxEventPatternBytesPerClient)
        return UBUS_STATUS_NO_MEMORY;
    if (obj.patterns.empty())
        listeners_.push_back(&obj);
    c.patternCount++;
    c.patternBytes += pattern.size();
    obj.patterns.push_back(std::move(pattern));
    return 0;
}

int Broker::forwardEvent(Client &c, const blob_attr *data)
{
    enum { kId, kData, kCount };
    static const blobmsg_policy policy[kCount] = {
        {"id", BLOBMSG_TYPE_STRING},
        {"data", BLOBMSG_TYPE_TABLE},
    };
    blob_attr *tb[kCount];
    blobmsg_parse(policy, kCount, tb, data ? blob_data(data) : nullptr,
                  data ? static_cast<unsigned int>(blob_len(data)) : 0);
    if (!tb[kId] || !tb[kData])
        return UBUS_STATUS_INVALID_ARGUMENT;
    const char *id = blobmsg_get_string(tb[kId]);
    // The "ubus." events are the broker's own; nobody may fake them.
    if (strncmp(id, "ubus.", 5) == 0)
        return UBUS_STATUS_PERMISSION_DENIED;
    return deliverEvent(&c, c.id, id, blobmsg_data(tb[kData]), blobmsg_data_len(tb[kData]));
}

int Broker::deliverEvent(const Client *sender, uint32_t payer, const char *id, const void *data, size_t len)
{
    std::string eventId = id;
    std::vector<uint8_t> msg;
    size_t missed = 0;
    for (Object *obj : listeners_) {
        if (obj->owner == sender || obj->owner->dead)
            continue;
        bool match = false;
        for (const std::string &pattern : obj->patterns)
            match = match || eventPatternMatches(pattern, eventId);
        if (!match)
            continue;
        if (msg.empty()) {
            blob_buf_init(&g_buf, 0);
            blob_put_int32(&g_buf, UBUS_ATTR_OBJID, obj->id);
            blob_put_string(&g_buf, UBUS_ATTR_METHOD, id);
            blob_put(&g_buf, UBUS_ATTR_DATA, data, static_cast<unsigned int>(len));
            msg = makeMsg(UBUS_MSG_INVOKE, 0, 0, g_buf.head);
            // The event id travels twice; what a listener's library would
            // take for a broken stream is refused instead.
            if (padded(msg.size() - kHeaderLen) > kMaxMsgLen)
                return UBUS_STATUS_INVALID_ARGUMENT;
        }
        // Only the sequence number and the listener's id (the first attribute) differ.
        uint16_t seq = ++eventSeq_;
        msg[2] = static_cast<uint8_t>(seq >> 8);
        msg[3] = static_cast<uint8_t>(seq);
        uint32_t be = cpu_to_be32(obj->id);
        memcpy(msg.data() + kHeaderLen + 8, &be, 4);
        // Charged to the sender; a listener that does not keep up misses
        // the excess and stays connected.
        if (!forward(*obj->owner, msg, payer)) {
            missed++;
            noteMissedEvent(*obj->owner);
        }
    }
    // The sender hears that some listener did not get it: it sends faster
    // than that one reads.
    return missed ? UBUS_STATUS_NO_MEMORY : 0;
}

void Broker::queueObjectEvent(const char *id, const Object &obj)
{
    if (closing_)
        return;
    blob_buf_init(&g_event, 0);
    blobmsg_add_u32(&g_event, "id", obj.id);
    blobmsg_add_string(&g_event, "path", obj.path->c_str());
    const auto *bytes = static_cast<const uint8_t *>(blob_data(g_event.head));
    objectEvents_.push_back({id, std::vector<uint8_t>(bytes, bytes + blob_len(g_event.head)), obj.owner->id});
}

void Broker::flushObjectEvents()
{
    std::vector<ObjectEvent> events;
    events.swap(objectEvents_);
    for (auto &event : events)
        deliverEvent(nullptr, event.payer, event.id.c_str(), event.data.data(), event.data.size());
}

uint32_t Broker::allocateId(const std::unordered_set<uint32_t> &used)
{
    // Ids below 1024 belong to the broker's own objects, and a client stores
    // its id unconverted, so 0x01000000 would read back as the reserved 1.
    for (;;) {
        uint32_t id = static_cast<uint32_t>(rng_());
        if (id >= UBUS_SYSTEM_OBJECT_MAX && id != 0x01000000u && !used.count(id))
            return id;
    }
}

}  // namespace ubusd
