#include "preset_store.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "log.h"
#include "safe_write.h"

using nlohmann::json;

namespace ptz {

namespace {

bool angleOf(const json &value, int &angle) {
    if (!value.is_number_integer()) return false;
    if (value.is_number_unsigned()) {
        const uint64_t number = value.get<uint64_t>();
        if (number > static_cast<uint64_t>(INT_MAX)) return false;
        angle = static_cast<int>(number);
        return true;
    }
    const int64_t number = value.get<int64_t>();
    if (number < INT_MIN || number > INT_MAX) return false;
    angle = static_cast<int>(number);
    return true;
}

// Whole file, or false with the reason; a missing file is no error.
bool readWhole(const std::string &path, std::string &text, bool &missing, std::string &why) {
    std::ifstream file(path, std::ios::binary);
    missing = false;
    if (!file.is_open()) {
        const int error = errno;
        missing = error == ENOENT;
        why = std::strerror(error);
        return false;
    }
    text.assign(PresetStore::kMaxFileBytes + 1, '\0');
    file.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(file.gcount()));
    if (text.size() > PresetStore::kMaxFileBytes) {
        why = "larger than " + std::to_string(PresetStore::kMaxFileBytes) + " bytes";
        return false;
    }
    if (file.bad()) {
        why = "read error";
        return false;
    }
    return true;
}

}  // namespace

bool PresetStore::validName(const std::string &name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
}

const Preset *PresetStore::find(const std::string &name) const {
    for (const Preset &preset : presets_)
        if (preset.name == name) return &preset;
    return nullptr;
}

void PresetStore::load() {
    presets_.clear();
    damaged_ = false;
    std::string text;
    bool missing = false;
    std::string why;
    if (!readWhole(path_, text, missing, why)) {
        if (missing) return;
        damaged_ = true;
        LOG_ERROR("Preset file unusable, starting with no presets: " + path_ + " (" + why + ")");
        return;
    }
    const json root = json::parse(text, nullptr, false);
    const json *list = nullptr;
    if (root.is_object() && root.contains("presets") && root["presets"].is_array())
        list = &root["presets"];
    if (list == nullptr) {
        damaged_ = true;
        LOG_ERROR("Preset file unusable, starting with no presets: " + path_ +
                  (root.is_discarded() ? " (not JSON)" : " (no \"presets\" list)"));
        return;
    }
    size_t skipped = 0;
    std::set<std::string> names;
    for (const json &entry : *list) {
        Preset preset{"", 0, 0};
        const bool valid = entry.is_object() && entry.contains("name") &&
                           entry["name"].is_string() && entry.contains("pan") &&
                           entry.contains("tilt") && angleOf(entry["pan"], preset.pan) &&
                           angleOf(entry["tilt"], preset.tilt);
        if (valid) preset.name = entry["name"].get<std::string>();
        if (!valid || !validName(preset.name) || presets_.size() >= kCapacity ||
            !names.insert(preset.name).second) {
            ++skipped;
            continue;
        }
        presets_.push_back(preset);
    }
    if (skipped > 0) {
        damaged_ = true;
        LOG_ERROR("Preset file: skipped " + std::to_string(skipped) +
                  " entries that are invalid, repeated or beyond the capacity: " + path_);
    }
    LOG_INFO("Loaded " + std::to_string(presets_.size()) + " presets from " + path_);
}

PresetStore::Result PresetStore::set(const Preset &preset) {
    std::vector<Preset> next = presets_;
    bool replaced = false;
    for (Preset &existing : next) {
        if (existing.name == preset.name) {
            existing = preset;
            replaced = true;
        }
    }
    if (!replaced) {
        if (next.size() >= kCapacity) return Result::Full;
        next.push_back(preset);
    }
    if (!save(next)) return Result::WriteFailed;
    presets_ = std::move(next);
    return Result::Ok;
}

PresetStore::Result PresetStore::remove(const std::string &name) {
    std::vector<Preset> next;
    for (const Preset &preset : presets_)
        if (preset.name != name) next.push_back(preset);
    if (next.size() == presets_.size()) return Result::NotFound;
    if (!save(next)) return Result::WriteFailed;
    presets_ = std::move(next);
    return Result::Ok;
}

bool PresetStore::save(const std::vector<Preset> &presets) {
    // What could not be read may still be worth reading by hand: it is kept
    // once rather than silently replaced.
    if (damaged_) {
        const std::string aside = path_ + ".damaged";
        if (std::rename(path_.c_str(), aside.c_str()) == 0)
            LOG_INFO("Kept the damaged preset file as " + aside);
        damaged_ = false;
    }
    json list = json::array();
    for (const Preset &preset : presets)
        list.push_back({{"name", preset.name}, {"pan", preset.pan}, {"tilt", preset.tilt}});
    const json root = {{"presets", list}};
    switch (storage::replaceFile(path_, root.dump(1) + "\n")) {
        case storage::WriteResult::Written:
            return true;
        case storage::WriteResult::OpenFailed:
            LOG_ERROR("Error opening preset file: " + path_);
            return false;
        case storage::WriteResult::WriteFailed:
            break;
    }
    LOG_ERROR("Error writing preset file: " + path_);
    return false;
}

}  // namespace ptz
