// Runs a fuzz target over files named on the command line (or every file of the directories
// named), so that the ordinary test run replays the corpus without libFuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {
int replay(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return 1;
    std::vector<uint8_t> bytes;
    for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 0;
}
} // namespace

int main(int argc, char **argv) {
    int files = 0, failures = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st {};
        if (stat(argv[i], &st) != 0) return 1;
        if (S_ISDIR(st.st_mode)) {
            DIR *d = opendir(argv[i]);
            while (dirent *e = readdir(d)) {
                if (e->d_name[0] == '.') continue;
                failures += replay(std::string(argv[i]) + "/" + e->d_name);
                ++files;
            }
            closedir(d);
        } else {
            failures += replay(argv[i]);
            ++files;
        }
    }
    std::printf("replayed %d inputs\n", files);
    return failures == 0 && files > 0 ? 0 : 1;
}
