// The MQTT side of the bridge on libmosquitto: MQTT 5, a persistent session
// (clean start off, a session expiry), the last will "offline", QoS 1
// command subscriptions, and a network thread of its own that reconnects
// with bounded, growing delays. Publishing from any thread only queues.
#ifndef GIMBALHUB_MQTT_MOSQUITTO_LINK_H
#define GIMBALHUB_MQTT_MOSQUITTO_LINK_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace mqttbridge {

class MosquittoLink : public MqttPort {
public:
    struct Handlers {
        std::vector<std::string> filters;  // subscribed at QoS 1 on every connect
        std::function<void()> connected;
        std::function<void()> disconnected;
        std::function<void(const InboundMessage &)> message;
    };

    MosquittoLink(const BridgeConfig &config, std::string willTopic);
    ~MosquittoLink() override;
    MosquittoLink(const MosquittoLink &) = delete;
    MosquittoLink &operator=(const MosquittoLink &) = delete;

    // Sets the client up and starts the network thread; false with the
    // reason when the configuration cannot be used (a bad TLS file, ...).
    bool start(Handlers handlers, std::string *error);
    // Flushes what is queued, disconnects cleanly and joins the thread.
    void stop();

    void publish(const OutboundMessage &message) override;
    bool connected() const { return connected_; }

private:
    void run();
    void waitBackoff();
    static void onConnect(struct mosquitto *, void *self, int rc, int flags,
                          const mosquitto_property *);
    static void onDisconnect(struct mosquitto *, void *self, int rc, const mosquitto_property *);
    static void onMessage(struct mosquitto *, void *self, const struct mosquitto_message *message,
                          const mosquitto_property *properties);

    const BridgeConfig config_;
    const std::string willTopic_;
    Handlers handlers_;
    struct mosquitto *client_ = nullptr;
    mosquitto_property *connectProperties_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> connected_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    unsigned delay_ = 1;       // the next reconnect delay, seconds
    bool loggedDown_ = false;  // one line per outage, not one per attempt
};

}  // namespace mqttbridge

#endif
