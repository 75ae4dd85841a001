// Named positions, kept in a JSON file that survives restarts and power cuts.
#ifndef GIMBALHUB_PTZ_PRESET_STORE_H
#define GIMBALHUB_PTZ_PRESET_STORE_H

#include <cstddef>
#include <string>
#include <vector>

namespace ptz {

struct Preset {
    std::string name;
    int pan;
    int tilt;
};

class PresetStore {
public:
    // A file of this many presets stays a few kilobytes: one flash page or two.
    static constexpr size_t kCapacity = 64;
    static constexpr size_t kMaxNameLength = 32;
    // Anything larger is not a file this store wrote.
    static constexpr size_t kMaxFileBytes = 64 * 1024;

    explicit PresetStore(std::string path) : path_(std::move(path)) {}

    // Reads the file. A missing file means no presets; a damaged one too, with
    // a log line saying why (entries that make no sense are skipped the same
    // way). A damaged file is set aside as "<file>.damaged" before the first
    // write replaces it.
    void load();

    // 1 to 32 printable ASCII characters.
    static bool validName(const std::string &name);

    const std::vector<Preset> &all() const { return presets_; }
    const Preset *find(const std::string &name) const;

    enum class Result { Ok, Full, NotFound, WriteFailed };
    // Adds the preset, or overwrites the one of the same name in its place.
    // Nothing changes unless the file was written.
    Result set(const Preset &preset);
    Result remove(const std::string &name);

    const std::string &path() const { return path_; }

private:
    bool save(const std::vector<Preset> &presets);

    std::string path_;
    std::vector<Preset> presets_;
    bool damaged_ = false;
};

}  // namespace ptz

#endif  // GIMBALHUB_PTZ_PRESET_STORE_H
