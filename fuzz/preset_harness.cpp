// The preset file as the daemon reads it at start-up: whatever it holds, the
// load never fails the process, and what it keeps is a table the daemon can
// write back and read again unchanged.
#include <fstream>
#include <set>
#include <string>

#include "harness.h"
#include "preset_store.h"

int fuzz_preset_loader(const uint8_t *data, size_t size) {
    const std::string path = std::string(fuzz_scratch_dir()) + "/presets.json";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    }
    ptz::PresetStore store(path);
    store.load();
    FUZZ_CHECK(store.all().size() <= ptz::PresetStore::kCapacity);
    std::set<std::string> names;
    for (const ptz::Preset &preset : store.all()) {
        FUZZ_CHECK(ptz::PresetStore::validName(preset.name));
        FUZZ_CHECK(names.insert(preset.name).second);
    }
    if (store.all().empty()) return 0;
    // Writing the first one again rewrites the file (setting a damaged one aside).
    FUZZ_CHECK(store.set(store.all().front()) == ptz::PresetStore::Result::Ok);
    ptz::PresetStore again(path);
    again.load();
    FUZZ_CHECK(again.all().size() == store.all().size());
    for (size_t i = 0; i < store.all().size(); ++i) {
        FUZZ_CHECK(again.all()[i].name == store.all()[i].name);
        FUZZ_CHECK(again.all()[i].pan == store.all()[i].pan);
        FUZZ_CHECK(again.all()[i].tilt == store.all()[i].tilt);
    }
    return 0;
}
