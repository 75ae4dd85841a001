#include "mosquitto_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "bridge_log.h"

namespace mqttbridge {

MosquittoLink::MosquittoLink(const BridgeConfig &config, std::string willTopic)
    : config_(config), willTopic_(std::move(willTopic)) {
    delay_ = static_cast<unsigned>(config_.reconnectMin);
}

MosquittoLink::~MosquittoLink() {
    stop();
    if (client_ != nullptr) mosquitto_destroy(client_);
    mosquitto_property_free_all(&connectProperties_);
}

bool MosquittoLink::start(Handlers handlers, std::string *error) {
    handlers_ = std::move(handlers);
    // Not clean: the broker keeps our subscriptions and the QoS 1 commands
    // that arrive while we are away.
    client_ = mosquitto_new(config_.clientId.c_str(), false, this);
    if (client_ == nullptr) {
        *error = std::string("cannot create the MQTT client: ") + strerror(errno);
        return false;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_threaded_set(client_, true);
    mosquitto_connect_v5_callback_set(
        client_, [](struct mosquitto *m, void *self, int rc, int flags,
                    const mosquitto_property *props) { onConnect(m, self, rc, flags, props); });
    mosquitto_disconnect_v5_callback_set(client_, onDisconnect);
    mosquitto_message_v5_callback_set(client_, onMessage);

    int rc = mosquitto_will_set_v5(client_, willTopic_.c_str(), 7, "offline", 1, true, nullptr);
    if (rc == MOSQ_ERR_SUCCESS && !config_.username.empty())
        rc = mosquitto_username_pw_set(
            client_, config_.username.c_str(),
            config_.password.empty() ? nullptr : config_.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && config_.tls.enabled) {
        const TlsConfig &tls = config_.tls;
        // Without a CA file the system's certificate folder vouches for the broker.
        rc = mosquitto_tls_set(client_, tls.caFile.empty() ? nullptr : tls.caFile.c_str(),
                               tls.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                               tls.certFile.empty() ? nullptr : tls.certFile.c_str(),
                               tls.keyFile.empty() ? nullptr : tls.keyFile.c_str(), nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_property_add_int32(&connectProperties_, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                          config_.sessionExpiry);
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = std::string("MQTT client set-up: ") + mosquitto_strerror(rc);
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void MosquittoLink::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    // Queued behind what was published before; the loop sends both and ends.
    mosquitto_disconnect_v5(client_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    thread_.join();
    connected_ = false;
}

void MosquittoLink::waitBackoff() {
    std::unique_lock<std::mutex> lock(mutex_);
    // A little jitter, so a fleet does not reconnect in lockstep after a broker restart.
    const unsigned jitterMs = static_cast<unsigned>(rand() % 250);
    wake_.wait_for(lock, std::chrono::milliseconds(delay_ * 1000 + jitterMs),
                   [this] { return stopping_.load(); });
    delay_ = std::min(delay_ * 2, static_cast<unsigned>(config_.reconnectMax));
}

void MosquittoLink::run() {
    while (!stopping_) {
        int rc = mosquitto_connect_bind_v5(client_, config_.host.c_str(), config_.port,
                                           config_.keepAlive, nullptr, connectProperties_);
        if (rc != MOSQ_ERR_SUCCESS) {
            if (!loggedDown_)
                logLine(LogLevel::Warning, "cannot reach the MQTT broker %s:%d: %s; retrying",
                        config_.host.c_str(), config_.port,
                        rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
            loggedDown_ = true;
            waitBackoff();
            continue;
        }
        // The loop wakes for publishes from other threads (threaded mode)
        // and at least every half second for keep-alive and stop.
        // Once stopping, the loop runs on until the disconnect queued by
        // stop() is out and the socket closed, for at most a second.
        auto stopDeadline = std::chrono::steady_clock::time_point::max();
        for (;;) {
            rc = mosquitto_loop(client_, stopping_ ? 100 : 500, 1);
            if (rc != MOSQ_ERR_SUCCESS) break;
            if (stopping_) {
                const auto now = std::chrono::steady_clock::now();
                if (stopDeadline == std::chrono::steady_clock::time_point::max())
                    stopDeadline = now + std::chrono::seconds(1);
                else if (now > stopDeadline)
                    break;
            }
        }
        if (stopping_) break;
        if (connected_) {
            connected_ = false;
            if (handlers_.disconnected) handlers_.disconnected();
        }
        if (!loggedDown_)
            logLine(LogLevel::Warning, "lost the MQTT broker: %s; reconnecting",
                    rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
        loggedDown_ = true;
        waitBackoff();
    }
    mosquitto_disconnect(client_);
}

void MosquittoLink::onConnect(struct mosquitto *, void *self, int rc, int,
                              const mosquitto_property *) {
    auto *link = static_cast<MosquittoLink *>(self);
    if (rc != 0) {
        logLine(LogLevel::Error, "the MQTT broker refused the connection: %s",
                mosquitto_reason_string(rc));
        return;  // the broker closes the connection; the loop backs off
    }
    logLine(LogLevel::Info, "connected to the MQTT broker %s:%d", link->config_.host.c_str(),
            link->config_.port);
    {
        std::lock_guard<std::mutex> lock(link->mutex_);
        link->delay_ = static_cast<unsigned>(link->config_.reconnectMin);
    }
    link->loggedDown_ = false;
    for (const auto &filter : link->handlers_.filters) {
        // Retained messages keep their flag (so they can be refused), and
        // are sent only when the subscription is new, not at every reconnect.
        const int options = MQTT_SUB_OPT_RETAIN_AS_PUBLISHED | MQTT_SUB_OPT_SEND_RETAIN_NEW;
        const int result =
            mosquitto_subscribe_v5(link->client_, nullptr, filter.c_str(), 1, options, nullptr);
        if (result != MOSQ_ERR_SUCCESS)
            logLine(LogLevel::Error, "cannot subscribe to %s: %s", filter.c_str(),
                    mosquitto_strerror(result));
    }
    link->connected_ = true;
    if (link->handlers_.connected) link->handlers_.connected();
}

void MosquittoLink::onDisconnect(struct mosquitto *, void *self, int, const mosquitto_property *) {
    auto *link = static_cast<MosquittoLink *>(self);
    if (link->connected_.exchange(false) && link->handlers_.disconnected)
        link->handlers_.disconnected();
}

void MosquittoLink::onMessage(struct mosquitto *, void *self,
                              const struct mosquitto_message *message,
                              const mosquitto_property *properties) {
    auto *link = static_cast<MosquittoLink *>(self);
    InboundMessage inbound;
    inbound.topic = message->topic != nullptr ? message->topic : "";
    if (message->payloadlen > 0)
        inbound.payload.assign(static_cast<const char *>(message->payload),
                               static_cast<size_t>(message->payloadlen));
    inbound.retained = message->retain;
    char *responseTopic = nullptr;
    if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &responseTopic,
                                       false) != nullptr &&
        responseTopic != nullptr) {
        inbound.responseTopic = responseTopic;
    }
    free(responseTopic);
    void *correlation = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation,
                                       &length, false) != nullptr) {
        inbound.hasCorrelation = true;
        if (correlation != nullptr)
            inbound.correlation.assign(static_cast<const char *>(correlation), length);
    }
    free(correlation);
    if (link->handlers_.message) link->handlers_.message(inbound);
}

void MosquittoLink::publish(const OutboundMessage &message) {
    if (!connected_ || client_ == nullptr) return;  // the state is republished on reconnect
    mosquitto_property *properties = nullptr;
    if (message.hasCorrelation)
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                      message.correlation.data(),
                                      static_cast<uint16_t>(message.correlation.size()));
    const int rc = mosquitto_publish_v5(
        client_, nullptr, message.topic.c_str(), static_cast<int>(message.payload.size()),
        message.payload.data(), message.qos, message.retain, properties);
    mosquitto_property_free_all(&properties);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
        logLine(LogLevel::Warning, "cannot publish on %s: %s", message.topic.c_str(),
                mosquitto_strerror(rc));
}

}  // namespace mqttbridge
