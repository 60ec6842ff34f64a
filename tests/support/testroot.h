// A temporary station root for one test: STATION_ROOT points at a fresh
// folder while the object lives.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class TestRoot {
public:
    TestRoot() {
        char tmpl[] = "/tmp/station-root-XXXXXX";
        path_ = mkdtemp(tmpl);
        const char* prev = std::getenv("STATION_ROOT");
        had_prev_ = prev != nullptr;
        if (had_prev_) prev_ = prev;
        setenv("STATION_ROOT", path_.c_str(), 1);
    }
    ~TestRoot() {
        if (had_prev_) setenv("STATION_ROOT", prev_.c_str(), 1); else unsetenv("STATION_ROOT");
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TestRoot(const TestRoot&) = delete;
    TestRoot& operator=(const TestRoot&) = delete;

    const std::string& path() const { return path_; }
    // Creates the folders of a system path inside the root and returns its real path.
    std::string Make(const std::string& systemDir) const {
        std::filesystem::create_directories(path_ + systemDir);
        return path_ + systemDir;
    }

private:
    std::string path_;
    std::string prev_;
    bool had_prev_ = false;
};
