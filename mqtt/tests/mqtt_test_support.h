// A real MQTT broker for the tests (Debian's mosquitto on a free port, with
// a password file, an ACL and a persistent store written by the test) and a
// small MQTT 5 client to publish and watch with.
#ifndef GIMBALHUB_MQTT_TEST_SUPPORT_H
#define GIMBALHUB_MQTT_TEST_SUPPORT_H

#include <e2e_support.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

namespace mqtttest {

// The broker program, or "" when it is not installed.
std::string brokerPath();
// A TCP port on the loopback that nothing listens on now.
int freePort();

class Broker {
public:
    // users: name -> password; acl: the ACL file's text.
    Broker(const std::string &dir, const std::map<std::string, std::string> &users,
           const std::string &acl);
    ~Broker();
    bool start(std::string *why);  // on the same port every time
    void stop(int sig = SIGTERM);  // SIGTERM saves the persistent store
    int port() const { return port_; }
    pid_t pid() const { return process_.pid(); }
    std::string store() const { return dir_ + "/mosquitto.db"; }  // the persistent store

private:
    std::string dir_;
    int port_;
    e2e::Process process_;
};

struct Received {
    std::string topic;
    std::string payload;
    bool retained = false;
    std::string correlation;
};

// An MQTT 5 client on its own network thread.
class Client {
public:
    Client(int port, const std::string &user, const std::string &password,
           const std::string &id = "");
    ~Client();
    bool connect(double timeoutSeconds = 5);
    int connackCode() const { return connack_; }
    bool subscribe(const std::string &filter, double timeoutSeconds = 5);
    // QoS 1 publishes wait for the broker's acknowledgement and give its
    // reason code (0 accepted, 135 not authorised); -1 on timeout.
    int publish(const std::string &topic, const std::string &payload, int qos = 1,
                bool retain = false, const std::string &responseTopic = "",
                const std::string &correlation = "");
    std::vector<Received> received(const std::string &topic = "");
    // The latest message on the topic, waiting for one that satisfies pred.
    bool waitFor(const std::string &topic, const std::function<bool(const Received &)> &pred,
                 double timeoutSeconds = 10, Received *found = nullptr);
    void clear();

private:
    struct mosquitto *client_;
    int port_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int connack_ = -1;
    std::map<int, int> acks_;  // mid -> reason code
    std::map<int, bool> subacks_;
    std::vector<Received> messages_;
};

}  // namespace mqtttest

#endif
