#include "mqtt_test_support.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace mqtttest {

std::string brokerPath() {
    for (const char *path :
         {"/usr/sbin/mosquitto", "/usr/bin/mosquitto", "/usr/local/sbin/mosquitto"})
        if (access(path, X_OK) == 0) return path;
    return "";
}

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

Broker::Broker(const std::string &dir, const std::map<std::string, std::string> &users,
               const std::string &acl)
    : dir_(dir), port_(freePort()) {
    std::string passwords;
    for (const auto &user : users) passwords += user.first + ":" + user.second + "\n";
    e2e::writeFile(dir_ + "/passwd", passwords);
    // Hashes the plain-text file in place.
    const auto hashed = e2e::runCommand({"/usr/bin/mosquitto_passwd", "-U", dir_ + "/passwd"}, 20);
    if (hashed.exitStatus != 0)
        throw std::runtime_error("mosquitto_passwd -U failed: " + hashed.err);
    e2e::writeFile(dir_ + "/acl", acl);
    std::string conf = "listener " + std::to_string(port_) + " 127.0.0.1\n" +
                       "allow_anonymous false\n"
                       "password_file " +
                       dir_ + "/passwd\n" + "acl_file " + dir_ + "/acl\n" +
                       "persistence true\n"
                       "persistence_location " +
                       dir_ + "/\n" +
                       "autosave_interval 1\n"
                       "log_dest stderr\n"
                       "log_type error\nlog_type warning\nlog_type notice\n";
    // As root it would switch to its own user, which cannot read the files here.
    if (geteuid() == 0) conf += "user root\n";
    e2e::writeFile(dir_ + "/mosquitto.conf", conf);
}

Broker::~Broker() { stop(SIGKILL); }

bool Broker::start(std::string *why) {
    e2e::SpawnOptions options;
    options.argv = {brokerPath(), "-c", dir_ + "/mosquitto.conf"};
    options.stderrPath =
        dir_ + "/mosquitto.log." + std::to_string(time(nullptr)) + "." + std::to_string(rand());
    options.dropEnvPrefixes = {"LD_PRELOAD"};
    std::string error;
    if (!process_.start(options, &error)) {
        *why = error;
        return false;
    }
    // Ready once it accepts connections.
    const bool up = e2e::waitUntil(
        [this] {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(port_));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool ok =
                connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
            close(fd);
            return ok || !process_.running();
        },
        10);
    if (!up || !process_.running()) {
        *why = "the broker did not come up on port " + std::to_string(port_) + ": " +
               e2e::readFile(options.stderrPath);
        return false;
    }
    return true;
}

void Broker::stop(int sig) { process_.stop(5, sig); }

Client::Client(int port, const std::string &user, const std::string &password,
               const std::string &id)
    : port_(port) {
    client_ = mosquitto_new(id.empty() ? nullptr : id.c_str(), true, this);
    if (client_ == nullptr) throw std::runtime_error("mosquitto_new failed");
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_username_pw_set(client_, user.c_str(), password.c_str());
    mosquitto_connect_v5_callback_set(
        client_, [](struct mosquitto *, void *self, int rc, int, const mosquitto_property *) {
            auto *me = static_cast<Client *>(self);
            std::lock_guard<std::mutex> lock(me->mutex_);
            me->connack_ = rc;
            me->changed_.notify_all();
        });
    mosquitto_publish_v5_callback_set(client_, [](struct mosquitto *, void *self, int mid,
                                                  int reason, const mosquitto_property *) {
        auto *me = static_cast<Client *>(self);
        std::lock_guard<std::mutex> lock(me->mutex_);
        me->acks_[mid] = reason;
        me->changed_.notify_all();
    });
    mosquitto_subscribe_v5_callback_set(client_, [](struct mosquitto *, void *self, int mid, int,
                                                    const int *, const mosquitto_property *) {
        auto *me = static_cast<Client *>(self);
        std::lock_guard<std::mutex> lock(me->mutex_);
        me->subacks_[mid] = true;
        me->changed_.notify_all();
    });
    mosquitto_message_v5_callback_set(
        client_, [](struct mosquitto *, void *self, const struct mosquitto_message *m,
                    const mosquitto_property *properties) {
            auto *me = static_cast<Client *>(self);
            Received message;
            message.topic = m->topic;
            if (m->payloadlen > 0)
                message.payload.assign(static_cast<const char *>(m->payload), m->payloadlen);
            message.retained = m->retain;
            void *data = nullptr;
            uint16_t length = 0;
            if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data,
                                               &length, false) &&
                data != nullptr)
                message.correlation.assign(static_cast<const char *>(data), length);
            free(data);
            std::lock_guard<std::mutex> lock(me->mutex_);
            me->messages_.push_back(message);
            me->changed_.notify_all();
        });
}

Client::~Client() {
    // The loop thread ends by itself after the disconnect; cancelling it
    // instead could leave one of the library's locks held.
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

bool Client::connect(double timeoutSeconds) {
    if (mosquitto_connect_bind_v5(client_, "127.0.0.1", port_, 30, nullptr, nullptr) !=
        MOSQ_ERR_SUCCESS)
        return false;
    mosquitto_loop_start(client_);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                      [this] { return connack_ >= 0; });
    return connack_ == 0;
}

bool Client::subscribe(const std::string &filter, double timeoutSeconds) {
    int mid = 0;
    if (mosquitto_subscribe_v5(client_, &mid, filter.c_str(), 1, 0, nullptr) != MOSQ_ERR_SUCCESS)
        return false;
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [this, mid] { return subacks_.count(mid) != 0; });
}

int Client::publish(const std::string &topic, const std::string &payload, int qos, bool retain,
                    const std::string &responseTopic, const std::string &correlation) {
    mosquitto_property *properties = nullptr;
    if (!responseTopic.empty())
        mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC, responseTopic.c_str());
    if (!correlation.empty())
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<uint16_t>(correlation.size()));
    int mid = 0;
    const int rc =
        mosquitto_publish_v5(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), qos, retain, properties);
    mosquitto_property_free_all(&properties);
    if (rc != MOSQ_ERR_SUCCESS) return -1;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(5),
                           [this, mid] { return acks_.count(mid) != 0; }))
        return -1;
    return acks_[mid];
}

std::vector<Received> Client::received(const std::string &topic) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Received> found;
    for (const auto &message : messages_)
        if (topic.empty() || message.topic == topic) found.push_back(message);
    return found;
}

bool Client::waitFor(const std::string &topic, const std::function<bool(const Received &)> &pred,
                     double timeoutSeconds, Received *found) {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t checked = 0;
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] {
        for (; checked < messages_.size(); ++checked) {
            if (messages_[checked].topic == topic && pred(messages_[checked])) {
                if (found != nullptr) *found = messages_[checked];
                return true;
            }
        }
        return false;
    });
}

void Client::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
}

}  // namespace mqtttest
