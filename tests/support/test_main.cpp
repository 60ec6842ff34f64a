// Test entry point. Every test runs under a station root of its own, never the
// host's "/": a command that a test forgets to record is then written to the
// root's command log instead of running on the machine (CI runs as root).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    const char* root = std::getenv("STATION_ROOT");
    if (root == nullptr || std::string(root).find_first_not_of('/') == std::string::npos) {
        std::string dir = (std::filesystem::temp_directory_path() / "station-test-root").string();
        std::filesystem::create_directories(dir);
        setenv("STATION_ROOT", dir.c_str(), 1);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
