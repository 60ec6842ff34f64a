#include "modem_device.h"

#include <cstdlib>

namespace sim {
namespace {

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

}  // namespace

int ModemDevice::Family() const {
    const std::string& m = script_.model;
    if (m.find("SARA") != std::string::npos) return 1;
    if (m.find("TOBY") != std::string::npos) return 2;
    if (m.find("PLS8") != std::string::npos) return 3;
    return 0;
}

std::vector<std::string> ModemDevice::Nodes(std::int64_t nowMs) const {
    if (nowMs < downUntil_) return {};
    if (Family() == 0) return {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"};
    // A TOBY-L210 shows its first port alone until it runs the three-port profile.
    if (script_.model == "TOBY-L210" && !usbProfile2_) return {"/dev/ttyACM0"};
    return {"/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyACM2"};
}

void ModemDevice::Restart(std::int64_t nowMs) {
    downUntil_ = nowMs + restartMs;
    sysstartPending_ = true;
    out_.clear();
    in_.clear();
    cfun_ = 1;
    ++generation_;
}

void ModemDevice::Tick(std::int64_t nowMs) {
    if (restartAt_ != 0 && nowMs >= restartAt_) {
        const std::int64_t at = restartAt_;
        restartAt_ = 0;
        Restart(at);
    }
}

void ModemDevice::Receive(std::string_view bytes, std::int64_t nowMs) {
    if (nowMs < downUntil_) return;
    for (char c : bytes) {
        if (c == '\r') {
            std::string cmd;
            cmd.swap(in_);
            lines_.push_back(cmd);
            if (!cmd.empty()) Command(cmd, nowMs);
        } else if (c != '\n') {
            in_ += c;
        }
    }
}

std::string ModemDevice::Take(std::size_t max) {
    if (split_ && max > 3) max = 3;
    std::string chunk = out_.substr(0, max);
    out_.erase(0, chunk.size());
    if (out_.empty()) split_ = false;
    return chunk;
}

void ModemDevice::Answer(const std::string& cmd, const std::vector<std::string>& lines, bool ok) {
    std::string a;
    if (sysstartPending_) {
        a += "\r\n^SYSSTART\r\n";
        sysstartPending_ = false;
    }
    a += cmd + "\r";
    for (const auto& l : lines) a += "\r\n" + l + "\r\n";
    a += ok ? "\r\nOK\r\n" : "\r\nERROR\r\n";
    out_ += a;
}

void ModemDevice::Command(const std::string& cmd, std::int64_t nowMs) {
    Fault f = Fault::None;
    if (auto it = faults_.find(cmd); it != faults_.end()) f = it->second;
    else if (auto all = faults_.find("*"); all != faults_.end()) f = all->second;
    switch (f) {
        case Fault::Silent: return;
        case Fault::Error: Answer(cmd, {}, false); return;
        case Fault::CmeError: Answer(cmd, {"+CME ERROR: 10"}, false); return;
        case Fault::Flood: out_ += cmd + "\r" + std::string(2048 - cmd.size() - 1, 'x'); return;
        case Fault::Split: split_ = true; break;
        case Fault::None: break;
    }
    // A CME error answer ends in the error line, not in OK.
    auto cme = [&](const std::string& text) {
        out_ += cmd + "\r\r\n+CME ERROR: " + text + "\r\n";
    };
    const ModemScript& s = script_;
    if (cmd == "AT+CGMM") return Answer(cmd, {s.model});
    if (cmd == "AT+CGMR") return Answer(cmd, {s.revision});
    if (cmd == "AT+CGSN") return Answer(cmd, {s.imei});
    if (cmd == "AT+CIMI") return Answer(cmd, {s.imsi});
    if (cmd == "AT^ICCID?") return Answer(cmd, {"^ICCID: " + s.iccid});
    if (cmd == "AT+CCID") return Answer(cmd, {"+CCID: " + s.iccid});
    if (cmd == "AT^SIND=\"iccid\",0") return Answer(cmd, {"^SIND: iccid,0,\"" + s.iccid + "F\""});
    if (cmd == "AT+CSQ") return Answer(cmd, {"+CSQ: " + s.csq});
    if (cmd == "AT+CESQ") return Answer(cmd, {"+CESQ: " + s.cesq});
    if (cmd == "AT+CREG?") return Answer(cmd, {"+CREG: " + s.creg});
    if (cmd == "AT+CIND?") return Answer(cmd, {"+CIND: " + s.cind});
    if (cmd == "AT+CPIN?") {
        if (StartsWith(s.cpin, "cme:")) return cme(s.cpin.substr(4));
        return Answer(cmd, {"+CPIN: " + s.cpin});
    }
    if (cmd == "AT^SYSINFO") return Answer(cmd, {"^SYSINFO:" + s.sysinfo});
    if (cmd == "AT+COPS?") return Answer(cmd, {"+COPS: " + s.cops});
    if (cmd == "AT+COPS=2") return Answer(cmd, {});
    if (cmd == "AT^SMONI") return Answer(cmd, {"^SMONI: " + s.smoni});
    if (cmd == "AT^SSRVSET=\"actSrvSet\"") return Answer(cmd, {s.srvset});
    if (cmd == "AT^SSRVSET=\"actSrvSet\",2") {
        script_.srvset = "^SSRVSET: 2";
        return Answer(cmd, {});
    }
    if (cmd == "AT+UUSBCONF=2") {
        usbProfile2_ = true;
        return Answer(cmd, {});
    }
    if (cmd == "AT+CFUN=1,1" || cmd == "AT+CFUN=16") {
        Answer(cmd, {});
        // The answer leaves before the module drops off the bus.
        restartAt_ = nowMs + 100;
        return;
    }
    if (cmd == "AT+CFUN?") return Answer(cmd, {"+CFUN: " + std::to_string(cfun_)});
    if (cmd == "AT+CFUN=5") {
        cfun_ = 5;
        return Answer(cmd, {});
    }
    if (cmd == "AT^SCFG=MEopMode/Prov/Cfg") {
        return Answer(cmd, {"^SCFG: \"MEopMode/Prov/Cfg\",\"" + std::to_string(s.provCfg) + "\""});
    }
    if (StartsWith(cmd, "AT^SCFG=MEopMode/Prov/Cfg,")) {
        script_.provCfg = std::atoi(cmd.c_str() + 26);
        return Answer(cmd, {"^SCFG: \"MEopMode/Prov/Cfg\",\"" + std::to_string(script_.provCfg) + "\""});
    }
    if (StartsWith(cmd, "AT^SCFG=\"radio/band/4g\",")) {
        bandMasks_ = cmd.substr(24);
        return Answer(cmd, {"^SCFG: \"radio/band/4g\"," + bandMasks_});
    }
    if (StartsWith(cmd, "AT^SCFG=\"MEopMode/CT\",")) return Answer(cmd, {"^SCFG: " + cmd.substr(8)});
    if (StartsWith(cmd, "AT^SCFG=\"MEopMode/CR\",")) {
        return Answer(cmd, {"^SCFG: \"MEopMode/CR\",\"" + s.rxPower + "\""});
    }
    if (cmd == "AT+CGDCONT?") {
        std::vector<std::string> lines;
        for (const auto& [n, p] : contexts_) lines.push_back("+CGDCONT: " + p + ",\"0.0.0.0\",0,0");
        return Answer(cmd, lines);
    }
    if (StartsWith(cmd, "AT+CGDCONT=")) {
        const std::string p = cmd.substr(11);
        const int n = std::atoi(p.c_str());
        if (n < 1 || n > 16) return cme("50");
        if (p == std::to_string(n) + ",\"IP\",\"\"") contexts_.erase(n);
        else contexts_[n] = p;
        return Answer(cmd, {});
    }
    if (cmd == "AT+CGCONTRDP") return Answer(cmd, {"+CGCONTRDP: 1,5,\"internet\""});
    if (cmd == "AT") return Answer(cmd, {});
    Answer(cmd, {}, false);
}

}  // namespace sim
