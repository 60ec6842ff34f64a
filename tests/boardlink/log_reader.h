// Reading back the system log lines a test made.
#pragma once

#include <filesystem>
#include <string>

#include "files.h"

// Every system-log line under the root's /Storage/SystemLog, all months.
inline std::string ReadSystemLog(const std::string& root) {
    std::string all;
    for (const auto& e : std::filesystem::directory_iterator(root + "/Storage/SystemLog")) {
        all += platform::ReadTextFile(e.path().string(), 1 << 20);
    }
    return all;
}

inline int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}
