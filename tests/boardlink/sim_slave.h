// The CCS board's end of the link for master tests: answers the commands
// written to a FakeLinkPort with the real slave frames, from its own map.
#pragma once

#include <vector>

#include "fake_link_port.h"
#include "link_frames.h"
#include "regmap.h"

class SimSlave {
public:
    SimSlave(FakeLinkPort& port) : port_(port) {
        port_.onWrite = [this](const std::vector<std::uint8_t>& b) { OnWrite(b); };
    }

    std::vector<std::uint8_t> mem = std::vector<std::uint8_t>(regmap::kMapSize, 0);
    regmap::RegisterMap map{mem.data(), mem.size()};
    bool silent = false;         // no answers at all
    std::size_t chunk = 64;      // answers arrive in pieces of this size
    std::uint8_t proximity = 0;
    int answerDelayMs = 5;

private:
    void Answer(const std::uint8_t* b, std::size_t n) {
        port_.ArriveSplit(std::vector<std::uint8_t>(b, b + n), chunk, 1, answerDelayMs);
    }
    void OnWrite(const std::vector<std::uint8_t>& bytes) {
        in_.insert(in_.end(), bytes.begin(), bytes.end());
        for (;;) {
            if (settingsDue_) {
                if (in_.size() < linkwire::kEVSEDataSize) return;
                linkwire::StoreEVSEData(map, in_.data(), linkwire::kEVSEDataSize, 60);
                in_.erase(in_.begin(), in_.begin() + linkwire::kEVSEDataSize);
                settingsDue_ = false;
                continue;
            }
            if (in_.size() < linkwire::kCommandSize) return;
            const std::uint8_t cmd = in_[1];
            in_.erase(in_.begin(), in_.begin() + linkwire::kCommandSize);
            if (silent) continue;
            if (cmd == linkwire::kCmdStatus) {
                const auto f = linkwire::BuildEVData(map, proximity);
                Answer(f.data(), f.size());
            } else {
                const auto ack = linkwire::MakeAck(cmd);
                Answer(ack.data(), ack.size());
                settingsDue_ = cmd == linkwire::kCmdSettings;
            }
        }
    }

    FakeLinkPort& port_;
    std::vector<std::uint8_t> in_;
    bool settingsDue_ = false;
};
