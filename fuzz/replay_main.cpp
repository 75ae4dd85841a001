// Runs a harness over stored inputs: every file named on the command line,
// and every file inside a named directory. Used for the crash regressions
// and the seed corpora in the normal build (no libFuzzer needed).
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.h"

namespace {

bool runFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
    FUZZ_ENTRY(bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int inputs = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        struct stat st {};
        if (stat(argv[i], &st) != 0) continue;  // an absent regression folder is fine
        if (!S_ISDIR(st.st_mode)) {
            ok = runFile(argv[i]) && ok;
            ++inputs;
            continue;
        }
        std::vector<std::string> files;
        if (DIR *dir = opendir(argv[i])) {
            while (dirent *entry = readdir(dir))
                if (entry->d_name[0] != '.')
                    files.push_back(std::string(argv[i]) + "/" + entry->d_name);
            closedir(dir);
        }
        std::sort(files.begin(), files.end());
        for (const std::string &file : files) {
            ok = runFile(file) && ok;
            ++inputs;
        }
    }
    std::fprintf(stderr, "replayed %d input(s)\n", inputs);
    return ok ? 0 : 1;
}
