// Starting a program of the build from a test: in a cross build the program
// runs under the emulator the build names in STATION_EXEC_PREFIX (empty in a
// native build), as the test scripts do.
#pragma once

#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

// The words to execute: the emulator's, then the program and its arguments.
// Made before fork(): the child only calls Exec().
class BuildProgram {
public:
    BuildProgram(const std::string& program, const std::vector<std::string>& args) {
        std::istringstream in(STATION_EXEC_PREFIX);
        for (std::string w; in >> w;) words_.push_back(w);
        words_.push_back(program);
        words_.insert(words_.end(), args.begin(), args.end());
        for (auto& w : words_) argv_.push_back(w.data());
        argv_.push_back(nullptr);
    }
    // Replaces the calling (forked) process with the program; returns only on failure.
    void Exec() const { execvp(argv_[0], argv_.data()); }

private:
    std::vector<std::string> words_;
    std::vector<char*> argv_;
};
