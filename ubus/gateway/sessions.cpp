#include "sessions.h"

#include <dirent.h>
#include <fnmatch.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

namespace ubusgw {

namespace {

constexpr int kDefaultTimeoutSeconds = 300;
constexpr int kStatusInvalidArgument = 2;
constexpr int kStatusPermissionDenied = 6;

bool readJsonFile(const std::string &path, Json &out, std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    out = Json::parse(text.str(), nullptr, false);
    if (out.is_discarded() || !out.is_object()) {
        error = path + " is not a JSON object";
        return false;
    }
    return true;
}

bool stringList(const Json &v, std::vector<std::string> &out)
{
    if (v.is_null())
        return true;
    if (!v.is_array())
        return false;
    for (const Json &e : v) {
        if (!e.is_string())
            return false;
        out.push_back(e.get<std::string>());
    }
    return true;
}

std::string newSessionId()
{
    static std::random_device random;
    static const char hex[] = "0123456789abcdef";
    std::string sid;
    for (int i = 0; i < 8; i++) {
        uint32_t r = random();
        for (int j = 0; j < 4; j++, r >>= 8)
            sid += hex[r & 0xf];
    }
    return sid;
}

}  // namespace

bool Sessions::addAcl(const Json &groups, std::string &error)
{
    for (auto g = groups.begin(); g != groups.end(); ++g) {
        Group group;
        for (const char *level : {"read", "write"}) {
            const Json *objects = nullptr;
            auto section = g->find(level);
            if (section != g->end() && section->is_object()) {
                auto ubus = section->find("ubus");
                if (ubus != section->end())
                    objects = &*ubus;
            }
            if (!objects)
                continue;
            for (auto o = objects->begin(); objects->is_object() && o != objects->end(); ++o) {
                std::vector<std::string> methods;
                if (!stringList(o.value(), methods)) {
                    error = "group " + g.key() + ": the methods of " + o.key() + " are not a list of names";
                    return false;
                }
                auto &into = level[0] == 'r' ? group.read : group.write;
                for (std::string &m : methods)
                    into.push_back({o.key(), std::move(m)});
            }
        }
        groups_[g.key()] = std::move(group);
    }
    return true;
}

bool Sessions::loadAcl(const std::string &path, std::string &error)
{
    std::vector<std::string> files;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *e = readdir(dir)) {
            std::string name = e->d_name;
            if (name.size() > 5 && name[0] != '.' && name.compare(name.size() - 5, 5, ".json") == 0)
                files.push_back(path + "/" + name);
        }
        closedir(dir);
        std::sort(files.begin(), files.end());
    } else {
        files.push_back(path);
    }
    for (const std::string &file : files) {
        Json groups;
        if (!readJsonFile(file, groups, error) || !addAcl(groups, error))
            return false;
    }
    return true;
}

bool Sessions::addUsers(const Json &users, std::string &error)
{
    for (auto u = users.begin(); u != users.end(); ++u) {
        User user;
        auto password = u->find("password");
        if (!u->is_object() || password == u->end() || !password->is_string() ||
            !stringList(u->value("read", Json()), user.read) ||
            !stringList(u->value("write", Json()), user.write)) {
            error = "user " + u.key() + " needs a password and lists of groups";
            return false;
        }
        user.password = password->get<std::string>();
        users_[u.key()] = std::move(user);
    }
    return true;
}

bool Sessions::loadUsers(const std::string &path, std::string &error)
{
    Json users;
    return readJsonFile(path, users, error) && addUsers(users, error);
}

std::vector<Sessions::Grant> Sessions::grants(const std::vector<std::string> &read,
                                              const std::vector<std::string> &write, Json *acls) const
{
    std::vector<Grant> out;
    auto named = [](const std::vector<std::string> &list, const std::string &group) {
        return std::any_of(list.begin(), list.end(), [&](const std::string &pattern) {
            return fnmatch(pattern.c_str(), group.c_str(), 0) == 0;
        });
    };
    for (const auto &[name, group] : groups_) {
        bool writes = named(write, name);
        if (!writes && !named(read, name))
            continue;
        // Write access to a group includes its read section, never another group's.
        out.insert(out.end(), group.read.begin(), group.read.end());
        if (writes)
            out.insert(out.end(), group.write.begin(), group.write.end());
        if (acls) {
            Json levels = Json::array({"read"});
            if (writes)
                levels.push_back("write");
            (*acls)["access-group"][name] = levels;
        }
    }
    if (acls) {
        Json &ubus = (*acls)["ubus"];
        ubus = Json::object();
        for (const Grant &g : out) {
            Json &methods = ubus[g.object];
            if (std::find(methods.begin(), methods.end(), g.method) == methods.end())
                methods.push_back(g.method);
        }
    }
    return out;
}

bool Sessions::matches(const std::vector<Grant> &grants, const std::string &object, const std::string &method)
{
    return std::any_of(grants.begin(), grants.end(), [&](const Grant &g) {
        return fnmatch(g.object.c_str(), object.c_str(), 0) == 0 &&
               fnmatch(g.method.c_str(), method.c_str(), 0) == 0;
    });
}

bool Sessions::allowed(const std::string &sid, const std::string &object, const std::string &method)
{
    if (sid == kAnonymousSession)
        return matches(grants({}, {"unauthenticated"}, nullptr), object, method);
    auto found = sessions_.find(sid);
    if (found == sessions_.end())
        return false;
    Session &s = found->second;
    if (now() >= s.expires) {
        sessions_.erase(found);
        return false;
    }
    s.expires = now() + s.timeout;
    return matches(s.grants, object, method);
}

int Sessions::login(const Json &args, Json &data)
{
    auto name = args.find("username");
    auto password = args.find("password");
    if (name == args.end() || !name->is_string() || password == args.end() || !password->is_string())
        return kStatusInvalidArgument;
    auto user = users_.find(name->get<std::string>());
    if (user == users_.end() || user->second.password != password->get<std::string>())
        return kStatusPermissionDenied;
    int timeout = kDefaultTimeoutSeconds;
    auto given = args.find("timeout");
    if (given != args.end() && given->is_number_integer() && given->get<int64_t>() > 0 &&
        given->get<int64_t>() <= 86400)
        timeout = given->get<int>();

    while (sessions_.size() >= maxSessions && !sessions_.empty()) {
        auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](const auto &a, const auto &b) {
            return a.second.expires - a.second.timeout < b.second.expires - b.second.timeout;
        });
        sessions_.erase(oldest);
    }
    std::string sid = newSessionId();
    Session &s = sessions_[sid];
    Json acls = Json::object();
    s.grants = grants(user->second.read, user->second.write, &acls);
    s.timeout = std::chrono::seconds(timeout);
    s.expires = now() + s.timeout;

    data = Json::object();
    data["ubus_rpc_session"] = sid;
    data["timeout"] = timeout;
    data["expires"] = timeout;
    data["acls"] = std::move(acls);
    data["data"] = {{"username", name->get<std::string>()}};
    return 0;
}

}  // namespace ubusgw
