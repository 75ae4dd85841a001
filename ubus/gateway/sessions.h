// Sessions and access rights granted as the device's session daemon grants
// them, so that a page's login and refusal flows can be tried on a PC. For
// tests only: users and their passwords come from a plain file.
#ifndef UBUS_GATEWAY_SESSIONS_H
#define UBUS_GATEWAY_SESSIONS_H

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "jsonrpc.h"

namespace ubusgw {

class Sessions {
public:
    using Clock = std::chrono::steady_clock;

    // ACL groups in the device's format ({"<group>": {"read": {"ubus":
    // {"<object>": ["<method>", ...]}}, "write": {...}}}): a file, or every
    // *.json file of a directory. A group named "unauthenticated" applies to
    // the anonymous session.
    bool loadAcl(const std::string &path, std::string &error);
    bool addAcl(const Json &groups, std::string &error);
    // Login users: {"<name>": {"password": "...", "read": ["<group>"|"*"...],
    // "write": [...]}}, as the device's login sections list them.
    bool loadUsers(const std::string &path, std::string &error);
    bool addUsers(const Json &users, std::string &error);

    // Whether the session may call object.method; a use keeps it alive.
    bool allowed(const std::string &sid, const std::string &object, const std::string &method);
    // session login: 0 with the new session in data, 2 for missing
    // arguments, 6 for a wrong user name or password.
    int login(const Json &args, Json &data);

    size_t maxSessions = 32;  // the least recently used goes first
    std::function<Clock::time_point()> now = [] { return Clock::now(); };

private:
    struct Grant {
        std::string object, method;  // patterns, '*' allowed
    };
    struct Group {
        std::vector<Grant> read, write;
    };
    struct User {
        std::string password;
        std::vector<std::string> read, write;
    };
    struct Session {
        std::vector<Grant> grants;
        std::chrono::seconds timeout{0};
        Clock::time_point expires;
    };

    // What a holder of these groups may call ("write" includes the group's
    // "read"); acls gets the reply's summary of it.
    std::vector<Grant> grants(const std::vector<std::string> &read, const std::vector<std::string> &write,
                              Json *acls) const;
    static bool matches(const std::vector<Grant> &grants, const std::string &object,
                        const std::string &method);

    std::map<std::string, Group> groups_;
    std::map<std::string, User> users_;
    std::map<std::string, Session> sessions_;
};

}  // namespace ubusgw

#endif
