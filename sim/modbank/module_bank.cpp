#include "module_bank.h"

#include <algorithm>
#include <cstring>

#include "crc.h"
#include "smr_protocol.h"

namespace modbank {

using platform::CanFrame;
using namespace smr;

std::uint32_t SimModule::Id(std::uint32_t base) const { return base | KindBits(kind) | address; }

std::uint16_t SimModule::ParamCrc() const {
    const std::size_t n = std::min<std::size_t>(Be16(params), sizeof params);
    return common::Crc16Arc(params, n);
}

SimModule& ModuleBank::Add(std::uint16_t w0, std::uint16_t w1, std::uint16_t w2, std::uint16_t w3) {
    modules.emplace_back();
    SimModule& m = modules.back();
    m.serial[0] = w0, m.serial[1] = w1, m.serial[2] = w2, m.serial[3] = w3;
    for (auto* o : {&m.objects21[100], &m.objects21[115], &m.objects21[130]}) (*o)[1] = 0x00;
    return m;
}

SimModule* ModuleBank::ByAddress(unsigned address) {
    for (auto& m : modules)
        if (m.address == address && address != 0 && !m.muted) return &m;
    return nullptr;
}

void ModuleBank::Send(const SimModule& m, std::uint32_t base, std::initializer_list<std::uint8_t> data) {
    send_(MakeFrame(m.Id(base), data));
}

void ModuleBank::PowerUp() {
    // Modules that ask at once send the identical frame, which the bus
    // carries as one.
    for (auto& m : modules) {
        if (m.muted) continue;
        send_(MakeFrame(kAddressRequest | KindBits(m.kind)));
        return;
    }
}

// Every module that is still a candidate answers; the bus carries the lowest
// word first, and the modules that heard a lower word than their own drop
// out of this round.
void ModuleBank::SerialQuery(unsigned word) {
    if (word == 0) {
        candidates_.clear();
        for (std::size_t i = 0; i < modules.size(); ++i)
            if (modules[i].address == 0 && !modules[i].muted) candidates_.push_back(i);
    }
    std::sort(candidates_.begin(), candidates_.end(),
              [&](std::size_t a, std::size_t b) { return modules[a].serial[word] < modules[b].serial[word]; });
    for (std::size_t i : candidates_)
        send_(MakeFrame(kSerialReport | word << 16 | modules[i].serial[word]));
    if (candidates_.empty()) return;
    const std::uint16_t lowest = modules[candidates_.front()].serial[word];
    std::erase_if(candidates_, [&](std::size_t i) { return modules[i].serial[word] != lowest; });
}

void ModuleBank::Receive(const CanFrame& f, std::int64_t nowMs) {
    (void)nowMs;
    const std::uint32_t id = FrameId(f);
    if (id == 0 || Direction(id) != 1) return;
    if (id == kAnnounce) {
        for (auto& m : modules) m.address = 0, m.operational = false, m.onOff = 1;
        PowerUp();
        return;
    }
    if ((id & 0xFFFFF0FFu) == kSerialWord0 && ((id >> 8) & 0x0F) <= 3) {
        SerialQuery((id >> 8) & 0x0F);
        return;
    }
    if (id == kAssignRequest) {
        for (std::size_t i : candidates_) send_(MakeFrame(kAssignAnswer | KindBits(modules[i].kind)));
        return;
    }
    if ((id & 0xFFFFFF00u & ~kKindMask) == kTakeAddress) {
        for (std::size_t i : candidates_) modules[i].address = static_cast<std::uint8_t>(Address(id));
        candidates_.clear();
        return;
    }
    // Heartbeats are addressed without the kind of the module.
    if (Class(id) == kClassHeartbeat) {
        if (Command(id) == 0x40)
            if (SimModule* m = ByAddress(Address(id))) Send(*m, kHeartbeatAck, {0, m->hardwareFault});
        return;
    }
    const unsigned a = Address(id);
    if (a == 0) {
        for (auto& m : modules)
            if (m.address != 0 && !m.muted) Answer(m, id, f);
    } else if (SimModule* m = ByAddress(a)) {
        if ((id & kKindMask) == KindBits(m->kind)) Answer(*m, id, f);
    }
}

void ModuleBank::Answer(SimModule& m, std::uint32_t id, const CanFrame& f) {
    const std::uint32_t base = id & ~kKindMask & 0xFFFFFF00u;
    const std::uint8_t* d = f.data;
    switch (base) {
    case kCrcCheck: {
        const std::uint16_t crc = m.ParamCrc();
        Send(m, kCrcAnswer, {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)});
        return;
    }
    case kDownloadStart: m.blockData.clear(); Send(m, kDownloadAccepted); return;
    case kDownloadFirst: case kDownloadMiddle: case kDownloadLast:
        if (base == kDownloadFirst) m.blockData.clear();
        m.blockData.insert(m.blockData.end(), d, d + f.len);
        Send(m, kDownloadAck);
        if (base == kDownloadLast) {
            ++m.downloads;
            if (m.acceptDownload && m.blockData.size() == sizeof m.params)
                std::memcpy(m.params, m.blockData.data(), sizeof m.params);
            m.blockData.clear();
        }
        return;
    case kGoOperational: m.operational = true; return;
    case kSwitch: if (f.len >= 1) m.onOff = d[0]; Plant(); return;
    case kSetPoint:
        if (f.len == 8) m.setVoltage = static_cast<std::uint16_t>(DecodeVoltage(Be16(d))), m.share = Be16(d + 2);
        Plant();
        return;
    case kSetOutputVolt:
        if (f.len == 8) m.setVoltage = static_cast<std::uint16_t>(DecodeVoltage(Be16(d)));
        Plant();
        return;
    case kRelease: m.onOff = 1; Plant(); return;
    case kReset: ++m.resets; m.onOff = 1; Plant(); return;
    case kObjectOpen: m.objectOpen = true; Send(m, kObjectAccepted); return;
    case kObjectClose: m.objectOpen = false; Send(m, kObjectAccepted); return;
    case kObjectRead: {
        if (!m.objectOpen || f.len < 2) return;
        std::uint8_t v[8] = {};
        if (d[0] == 0 && d[1] == 23) {
            std::memcpy(v, m.version.data(), std::min<std::size_t>(m.version.size(), 8));
        } else if (d[0] == 21 && d[1] == 73) {
            v[0] = static_cast<std::uint8_t>(m.fanSpeed >> 8), v[1] = static_cast<std::uint8_t>(m.fanSpeed);
        } else if (d[0] == 21 && d[1] == 61) {
            v[0] = static_cast<std::uint8_t>(m.bootState);
        } else if (d[0] == 21) {
            std::memcpy(v, m.objects21[d[1]], 8);
        } else if (d[0] == 1 && d[1] == 7) {
            v[0] = static_cast<std::uint8_t>(m.lifeTime >> 8), v[1] = static_cast<std::uint8_t>(m.lifeTime);
        } else if (d[0] == 1 && d[1] == 10) {
            const std::uint16_t u = EncodeVoltage(m.outVoltage);
            v[0] = static_cast<std::uint8_t>(u >> 8), v[1] = static_cast<std::uint8_t>(u);
        }
        send_(MakeFrame(m.Id(kObjectValue), v, 8));
        return;
    }
    case kBootloader: if (f.len >= 1) m.inBootloader = d[0] == 1; return;
    case kBootloaderCompanion:
        if (!m.inBootloader) m.bootState = 0;
        Send(m, kBootloaderAnswer);
        return;
    case kBootStep:
        if (!m.inBootloader || f.len < 1) return;
        if (d[0] == 1 && !m.neverReady) m.bootState = 8;
        if (d[0] == 3 && m.bootState >= 8) m.bootState = 10, m.primaryImage.clear();
        if (d[0] == 6 && m.bootState >= 10) m.bootState = 12;
        return;
    case kPrimaryData:
        if (m.inBootloader) m.blockData.insert(m.blockData.end(), d, d + f.len);
        return;
    case kPrimaryHeader: {
        if (!m.inBootloader || f.len != 8) return;
        const std::uint32_t address = Be32(d);
        const std::uint16_t n = Be16(d + 4), crc = Be16(d + 6);
        std::vector<std::uint8_t> covered = m.blockData;
        covered.insert(covered.end(), d, d + 6);
        m.blockAddresses.push_back(address);
        m.blockLengths.push_back(n);
        if (n == m.blockData.size() && common::Crc16Arc(covered.data(), covered.size()) == crc) {
            m.primaryImage.insert(m.primaryImage.end(), m.blockData.begin(), m.blockData.end());
            m.bootState = 11;
        } else {
            ++m.badBlocks;
            m.bootState = 13;
        }
        m.blockData.clear();
        return;
    }
    case kSecondaryStart: {
        if (f.len < 4) return;
        m.secondaryLength = Be32(d);
        m.secondaryImage.clear();
        m.blockData.clear();
        m.secondaryComplete = false;
        const std::uint32_t b = m.blockSize;
        Send(m, kSecondaryAccepted, {static_cast<std::uint8_t>(b >> 24), static_cast<std::uint8_t>(b >> 16),
                                     static_cast<std::uint8_t>(b >> 8), static_cast<std::uint8_t>(b)});
        return;
    }
    case kSecondaryFirst: case kSecondaryMiddle: case kSecondaryLast:
        if (base == kSecondaryFirst) m.blockData.clear();
        m.blockData.insert(m.blockData.end(), d, d + f.len);
        Send(m, kSecondaryAck);
        if (base == kSecondaryLast) {
            m.secondaryImage.insert(m.secondaryImage.end(), m.blockData.begin(), m.blockData.end());
            m.blockData.clear();
            m.secondaryComplete = m.secondaryImage.size() >= m.secondaryLength;
            Send(m, m.secondaryComplete ? kSecondaryComplete : kSecondaryBlockDone);
        }
        return;
    default:
        break;
    }
    if ((base & 0xFFFF0000u) == kRead) {
        const unsigned cmd = Command(id);
        std::uint16_t v = 0;
        std::uint16_t p = 0;
        if (cmd == kOutputVolt) v = EncodeVoltage(m.outVoltage);
        else if (cmd == kOutputAmp) v = EncodeCurrent(m.outCurrent);
        else if (cmd >= 0x03 && cmd <= 0x05) v = 0x8000 | 2300;     // 230 V, exponent 2
        else if (cmd >= 0x0C && cmd <= 0x0E) v = static_cast<std::uint16_t>(0x0100 | (30 + cmd));
        else if (cmd == kAvailable) {
            v = static_cast<std::uint16_t>(0x4000 | std::min<std::uint32_t>(m.availableCurrent / 10, 0xFFF));
            p = static_cast<std::uint16_t>(0x4000 | std::min<std::uint32_t>(m.availablePower / 100, 0xFFF));
        } else {
            return;
        }
        send_(MakeFrame(m.Id(kReply | cmd << 8), {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v),
                                                  static_cast<std::uint8_t>(p >> 8), static_cast<std::uint8_t>(p)}));
    }
}

namespace {

bool Running(const SimModule& m) { return m.operational && !m.muted && m.onOff == 0 && m.setVoltage > 0; }

std::uint16_t Tenths(double v) { return static_cast<std::uint16_t>(std::clamp(v * 10 + 0.5, 0.0, 65535.0)); }

}  // namespace

// The modules share one resistive load: each gives its part of the current
// the load draws at the set voltage, at most its share of the available
// current; the voltage sags when the share does not carry the load. With
// the outlet model they charge the battery instead: the current the
// difference between set voltage and battery drives through the series
// resistance, at most the modules' shares together.
void ModuleBank::Plant() {
    int on = 0;
    double setVolts = 0, limit = 0;
    for (auto& m : modules) {
        if (!Running(m)) continue;
        ++on;
        setVolts = std::max(setVolts, m.setVoltage / 10.0);
        limit += m.share / 10000.0 * m.availableCurrent / 100.0;
    }
    const double battery = outlet.battery / 10.0, fault = outlet.overVolt / 10.0;
    const bool charging = outletModel && outlet.relaysClosed && outlet.contactorClosed;
    double outVolts = 0, total = 0;
    if (on > 0 && charging) {
        total = std::clamp((setVolts - battery) / outlet.seriesOhms, 0.0, limit);
        outVolts = battery + total * outlet.seriesOhms + fault;
    } else if (on > 0 && outletModel) {
        outVolts = setVolts + fault;   // no load behind the relays
    }
    for (auto& m : modules) {
        if (!Running(m)) {
            m.outVoltage = 0, m.outCurrent = 0;
        } else if (outletModel) {
            m.outVoltage = Tenths(outVolts), m.outCurrent = Tenths(total / on);
        } else {
            const double volts = m.setVoltage / 10.0;
            const double wanted = volts / loadOhms / on;                          // A
            const double share = m.share / 10000.0 * m.availableCurrent / 100.0;  // A
            const double amps = std::min(wanted, share);
            m.outCurrent = static_cast<std::uint16_t>(amps * 10 + 0.5);
            m.outVoltage = static_cast<std::uint16_t>(std::min(volts, amps * on * loadOhms) * 10 + 0.5);
        }
    }
    double meter = 0;
    if (outlet.relaysClosed && on > 0) meter = outVolts;
    else if (outlet.contactorClosed) meter = battery;
    outletVoltage_ = outletModel ? Tenths(meter) : 0;
}

void ModuleBank::Tick(std::int64_t nowMs) {
    if (nowMs - lastReport_ < reportPeriodMs) return;
    lastReport_ = nowMs;
    Plant();
    for (auto& m : modules) {
        if (!m.operational || m.muted) continue;
        const std::uint16_t v = EncodeVoltage(m.outVoltage), i = EncodeCurrent(m.outCurrent);
        const std::uint32_t s = m.statusWord;
        Send(m, kStatusReport,
             {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(i >> 8),
              static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(s >> 24), static_cast<std::uint8_t>(s >> 16),
              static_cast<std::uint8_t>(s >> 8), static_cast<std::uint8_t>(s)});
    }
}

}  // namespace modbank
