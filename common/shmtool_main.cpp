// shmtool: read and write a register-map segment from the command line.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "regmap.h"
#include "regmap_names.h"
#include "shm.h"
#include "shmtool.h"

int main(int argc, char** argv) {
    int key = regmap::kMapKey;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "-k" || a == "--key") && i + 1 < argc) {
            const auto k = shmtool::ParseSegmentKey(argv[++i]);
            if (!k) {
                std::fprintf(stderr, "shmtool: not a segment key: %s\n", argv[i]);
                return 2;
            }
            key = *k;
        } else {
            args.push_back(a);
        }
    }
    if (args.size() == 1 && args[0] == "names") {
        for (const auto& f : regmap::AllNamedFields()) {
            std::printf("%.*s %u %u\n", static_cast<int>(f.name.size()), f.name.data(), f.info.offset, f.info.width);
        }
        return 0;
    }
    std::size_t size = 0;
    std::string error;
    std::uint8_t* base = platform::AttachExistingSegment(key, &size, &error);
    if (base == nullptr) {
        std::fprintf(stderr, "shmtool: segment %d: %s\n", key, error.c_str());
        return 1;
    }
    std::string out;
    int rc = shmtool::Execute(args, base, size, out);
    if (!out.empty()) std::fprintf(rc == 0 ? stdout : stderr, "%s\n", out.c_str());
    return rc;
}
