// An emulated cellular module of one of the station's families: it takes
// the bytes the host writes to its nodes and answers every AT command the
// modem manager sends with the echo, CR LF framing and result codes of the
// real module, from scripted values. It restarts on AT+CFUN=1,1 and on a
// power cycle (its nodes vanish, then the first answer brings "^SYSSTART"),
// and on demand stays silent, splits answers, answers ERROR or a CME error,
// or floods 2048 bytes without a result code.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class Fault { None, Silent, Error, CmeError, Flood, Split };

struct ModemScript {
    std::string model = "TOBY-L210";
    std::string revision = "17.00,A01.01";
    std::string imei = "356938035643809";
    std::string imsi = "262011234567890";
    std::string iccid = "89490200001234567890";
    std::string csq = "20,99";
    std::string cesq = "99,99,255,255,20,45";
    std::string creg = "0,1";
    std::string cind = "5,0,0,0,0,0,0,0,0,0,0,1";
    std::string cpin = "READY";                        // or "cme:<text>" for a CME error answer
    std::string sysinfo = "2,3,0,5,1,,4";
    std::string cops = "0,0,\"Sim Operator\",7";
    std::string smoni = "4G,6300,20,10,10,FDD,262,01,BF75,0345103,350,33,-94,-7,NOCONN";
    std::string srvset = "^SSRVSET: 2";
    int provCfg = 0;
    std::string rxPower = "-85.7";
};

class ModemDevice {
public:
    explicit ModemDevice(ModemScript script) : script_(std::move(script)) {}

    ModemScript& script() { return script_; }
    // Family of the model: 0 the USB pair module, 1..3 the ACM modules.
    int Family() const;

    // The nodes the module shows at `nowMs` ("/dev/ttyACM0", ...).
    std::vector<std::string> Nodes(std::int64_t nowMs) const;
    // Bumped at every restart: a line opened before it is dead.
    unsigned Generation() const { return generation_; }

    // Bytes the host wrote.
    void Receive(std::string_view bytes, std::int64_t nowMs);
    // Takes up to `max` bytes of what the module sends (fewer with split answers).
    std::string Take(std::size_t max);
    bool HasOutput() const { return !out_.empty(); }

    // The power line was pulsed: the module restarts.
    void PowerCycle(std::int64_t nowMs) { Restart(nowMs); }
    // Carries out a restart that is due by `nowMs`.
    void Tick(std::int64_t nowMs);

    // Faults for one command (exact text) or for every command ("*").
    void SetFault(const std::string& command, Fault f) { faults_[command] = f; }
    void ClearFaults() { faults_.clear(); }

    // Every line received, in order.
    const std::vector<std::string>& Lines() const { return lines_; }
    std::vector<std::string>& MutableLines() { return lines_; }
    const std::map<int, std::string>& Contexts() const { return contexts_; }
    const std::string& BandMasks() const { return bandMasks_; }
    int restartMs = 5000;

private:
    void Command(const std::string& cmd, std::int64_t nowMs);
    void Answer(const std::string& cmd, const std::vector<std::string>& lines, bool ok = true);
    void Restart(std::int64_t nowMs);

    ModemScript script_;
    std::string in_;
    std::string out_;
    std::vector<std::string> lines_;
    std::map<std::string, Fault> faults_;
    std::map<int, std::string> contexts_ = {{1, "1,\"IP\",\"internet\""}};
    std::string bandMasks_;
    std::int64_t downUntil_ = 0;
    std::int64_t restartAt_ = 0;
    bool sysstartPending_ = false;
    bool split_ = false;
    bool usbProfile2_ = false;
    int cfun_ = 1;
    unsigned generation_ = 0;
};

}  // namespace sim
