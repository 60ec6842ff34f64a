#include "auto_apn.h"

#include <sys/stat.h>

#include "at_transport.h"
#include "clock.h"
#include "files.h"
#include "paths.h"
#include "queries.h"
#include "regmap_fields.h"
#include "syslog.h"

namespace modem {

using namespace regmap::mainb;

namespace {

const char* const kVerizonAPNList[] = {"1,\"IPV4V6\",\"vzwims\"", "2,\"IPV4V6\",\"vzwadmin\"",
                                       "3,\"IPV4V6\",\"vzwinternet\"", "4,\"IPV4V6\",\"vzwapp\""};

std::string EmptyProfile(unsigned n) { return std::to_string(n) + ",\"IP\",\"\""; }

std::string ApnProfile(Operator op, std::string_view apn) {
    return std::string(op == Operator::Att ? "1,\"IPV4V6\",\"" : "1,\"IP\",\"") + std::string(apn) + "\"";
}

// One command with the common answer handling; the texts name the operation.
bool Checked(Wendle& w, int fd, const std::string& cmd, const char* errorLine, const char* recvLine,
             const char* sendLine) {
    std::string a;
    switch (Ask(*w.io, fd, cmd, a)) {
        case Exchange::SendFailed: common::RecordSysLog(sendLine); return false;
        case Exchange::RecvFailed: common::RecordSysLog(recvLine); return false;
        case Exchange::Ok: break;
    }
    if (Holds(a, "+CME ERROR:")) {
        common::RecordSysLog(std::string(errorLine) + CmeText(a) + ")");
        return false;
    }
    return true;
}

std::string OperatorText(const Wendle& w) { return w.map.get(SHRMEM_3G_OPERATOR); }

}  // namespace

Operator OperatorClass(std::string_view op) {
    if (Holds(op, "Verizon")) return Operator::Verizon;
    if (Holds(op, "AT&T")) return Operator::Att;
    return Operator::Other;
}

bool ValidApn(std::string_view apn) {
    if (apn.empty() || apn.size() > 31) return false;
    for (char c : apn) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-';
        if (!ok) return false;
    }
    return true;
}

bool setAPN(Wendle& w, int fd, const std::string& profile) {
    const bool ok = Checked(w, fd, "AT+CGDCONT=" + profile, "[Wendle] Set modem APN fail (ERROR:",
                            "[Wendle] Set modem APN fail (Recv response fail)",
                            "[Wendle] Set modem APN fail (Send cmd fail)");
    common::RecordSysLog(std::string(ok ? "[Wendle] Set modem APN OK (Profile:" : "[Wendle] Set modem APN fail (Profile:") +
                         profile + ")");
    return ok;
}

bool deRegister(Wendle& w, int fd) {
    const bool ok = Checked(w, fd, "AT+COPS=2", "[Wendle] Set modem deRegistered fail (ERROR:",
                            "[Wendle] Set modem deRegistered fail (Recv response fail)",
                            "[Wendle] Set modem deRegistered fail (Send cmd fail)");
    common::RecordSysLog(ok ? "[Wendle] Modem deregiester OK" : "[Wendle] Modem deregiester fail");
    return ok;
}

bool resetModemAndTtyByCmd(Wendle& w, int& fd) {
    common::RecordSysLog("[Wendle] Reset modem and TTY by command start");
    const bool ok = Checked(w, fd, "AT+CFUN=1,1", "[Wendle] Reset modem by command fail (ERROR:",
                            "[Wendle] Reset modem fail (Recv response fail)", "[Wendle] Reset modem fail (Send cmd fail)");
    w.io->Close(fd);
    fd = 0;
    if (!ok) {
        common::RecordSysLog("[Wendle] Reset Gemalto modem fail");
        return false;
    }
    Sleep(60);
    common::RecordSysLog("[Wendle] Reset Gemalto modem done");
    if (InitFdtty(w, fd)) {
        common::RecordSysLog("[Wendle] Recreate FdTTy after modem reset OK");
        return true;
    }
    common::RecordSysLog("[Wendle] Recreate FdTTy after modem reset fail");
    return false;
}

void getCGDCONT(Wendle& w, int fd) {
    std::string a;
    switch (Ask(*w.io, fd, "AT+CGDCONT?", a)) {
        case Exchange::Ok: common::RecordSysLogf("[Wendle][%d] CGDCONT? : %s ", 3498, a.c_str()); break;
        case Exchange::SendFailed: common::RecordSysLogf("[Wendle][%d] Send cmd AT+CGDCONT? fail ", 3504); break;
        case Exchange::RecvFailed: break;
    }
}

void getCGDCONTRDP(Wendle& w, int fd) {
    std::string a;
    switch (Ask(*w.io, fd, "AT+CGCONTRDP", a)) {
        case Exchange::Ok: common::RecordSysLogf("[Wendle][%d] CGCONTRDP: %s ", 3518, a.c_str()); break;
        case Exchange::SendFailed: common::RecordSysLogf("[Wendle][%d] Send AT+CGCONTRDP Fail\n ", 3524); break;
        case Exchange::RecvFailed: break;
    }
}

bool compareAPN(std::string_view list, std::string_view apn, std::string_view op) {
    const Operator c = OperatorClass(op);
    if (c == Operator::Verizon) {
        for (const char* p : kVerizonAPNList) {
            if (!Holds(list, p)) return false;
        }
        return true;
    }
    return Holds(list, ApnProfile(c, apn));
}

bool checkCurAPN(Wendle& w, int fd, std::string_view apn, std::string_view op) {
    std::string list;
    int result = 0;  // 0 failure, 1 right, 2 wrong
    switch (Ask(*w.io, fd, "AT+CGDCONT?", list, AnswerPart::AllLines, kAnswerBuffer)) {
        case Exchange::SendFailed: common::RecordSysLog("[Wendle] Check APN fail (Send cmd fail)"); break;
        case Exchange::RecvFailed: common::RecordSysLog("[Wendle] Check APN fail (Recv response fail)"); break;
        case Exchange::Ok:
            common::RecordSysLog(common::FormatLogText("[Wendle][%d] Modem Current APN : ", 3679) + list.substr(0, 127) +
                                 " \n");
            if (Holds(list, "+CME ERROR:")) {
                common::RecordSysLog("[Wendle] Check APN fail (ERROR:" + CmeText(list) + ")");
            } else {
                result = compareAPN(list, apn, op) ? 1 : 2;
            }
    }
    if (result == 0) common::RecordSysLog("[Wendle] Check APN fail");
    if (result == 1) common::RecordSysLog("[Wendle] Modem APN is correct");
    if (result == 2) common::RecordSysLog("[Wendle] Modem APN is wrong");
    return result == 1;
}

bool setAPNbyOperator(Wendle& w, int fd, std::string_view apn, std::string_view op) {
    for (unsigned n = 1; n <= 4; ++n) {
        if (!setAPN(w, fd, EmptyProfile(n))) return false;
    }
    const Operator c = OperatorClass(op);
    if (c == Operator::Verizon) {
        for (const char* p : kVerizonAPNList) {
            if (!setAPN(w, fd, p)) return false;
        }
        return true;
    }
    if (!ValidApn(apn)) {
        common::RecordSysLog("[Wendle] Set modem APN fail (configured APN refused)");
        return false;
    }
    return setAPN(w, fd, ApnProfile(c, apn));
}

int setApnOffline(Wendle& w, int fd, std::string_view apn, std::string_view op) {
    if (checkCurAPN(w, fd, apn, op)) return 0;
    deRegister(w, fd);
    Sleep(5);
    if (!setAPNbyOperator(w, fd, apn, op)) {
        common::RecordSysLog("[Wendle] Modem offline set APN fail");
        return 1;
    }
    common::RecordSysLog("[Wendle] Modem offline set APN OK");
    return 2;
}

bool setClearAPNbyOperator(Wendle& w, int& fd) {
    deRegister(w, fd);
    Sleep(5);
    for (unsigned n = 1; n <= 4; ++n) {
        if (!setAPN(w, fd, EmptyProfile(n))) return false;
    }
    resetModemAndTtyByCmd(w, fd);
    w.apnState = CheckSIMstate;
    return true;
}

bool GetProvCfg(Wendle& w, int fd, std::string_view name, int& value) {
    std::string a;
    if (Ask(*w.io, fd, "AT^SCFG=" + std::string(name), a) != Exchange::Ok) return false;
    std::size_t at = a.find("^SCFG:");
    if (at == std::string::npos) return false;
    std::string_view rest = std::string_view(a).substr(at + 6);
    std::size_t comma = rest.find(',');
    if (comma == std::string_view::npos) return false;
    std::string_view first = rest.substr(0, std::min<std::size_t>(comma, 64));
    std::string_view second = rest.substr(comma + 1);
    second = second.substr(0, std::min(second.find(','), std::size_t{64}));
    if (!Holds(first, "\"" + std::string(name) + "\"")) return false;
    if (second.size() < 2) return false;
    value = second[1] - '0';
    return true;
}

bool SetProvCfg(Wendle& w, int fd, std::string_view name, unsigned value) {
    std::string a;
    if (Ask(*w.io, fd, "AT^SCFG=" + std::string(name) + "," + std::to_string(value), a) != Exchange::Ok) return false;
    std::size_t at = a.find("^SCFG:");
    return at != std::string::npos &&
           Holds(std::string_view(a).substr(at), "\"" + std::string(name) + "\",\"" + std::to_string(value) + "\"");
}

std::string DialConfig(std::string_view dialNumber) {
    // The SIM PIN is the station's own, kept in a file only root can read.
    std::string pin = platform::ReadTextFile(platform::SystemPath("/root/ppp/sim_pin"), 16);
    while (!pin.empty() && (pin.back() == '\n' || pin.back() == '\r' || pin.back() == ' ')) pin.pop_back();
    bool pinOk = pin.size() >= 4 && pin.size() <= 8;
    for (char c : pin) pinOk = pinOk && c >= '0' && c <= '9';
    std::string text;
    if (pinOk) text += "PIN=" + pin + "\n";
    text += "TELEPHONE=" + std::string(dialNumber) + "\n";
    text += "LOCAL_IP=0.0.0.0\nREMOTE_IP=0.0.0.0\nNETMASK=255.255.255.0\n";
    return text;
}

namespace {

std::int64_t Now() { return NowSeconds(); }

void StepModel(Wendle& w, int& fd) {
    common::RecordSysLog("[Wendle] Auto APN process start");
    if (!GetModelName(w, fd)) return;
    SetAllBand(w, fd);
    w.apnTm = Now();
    w.provCfgCheck = false;
    w.apnState = ClearAPN;
}

void StepSim(Wendle& w, int fd) {
    if (!GetSIMstate(w, fd)) return;
    if (Holds(w.map.get(SHRMEM_3G_SIM_STATE), "Valid SIM card")) {
        w.apnState = Holds(w.map.get(SHRMEM_3G_MODEL), "PLS8-X") ? CheckOperator : CheckAPN;
        w.apnTm = Now();
        return;
    }
    common::RecordSysLog("[Wendle] Auto APN process fail due to SIM is not valid");
    w.apnState = AutoAPNfail;
}

void StepOperator(Wendle& w, int fd) {
    if (!GetOperator(w, fd)) return;
    const std::string op = OperatorText(w);
    if (Holds(op, "No Connect")) {
        if (Now() - w.apnTm < 61) return;
        w.apnTm = Now();
        common::RecordSysLog("[Wendle] Modem connected to no operator");
        if (!w.provCfgCheck) w.apnState = CheckProvCfg;
        return;
    }
    common::RecordSysLog("[Wendle] Modem connected to operator:" + op +
                         ", accessTechnology:" + w.map.get(SHRMEM_3G_ACCESS_TECH));
    w.apnState = w.provCfgCheck ? CheckAPN : CheckProvCfg;
}

void StepProvCfg(Wendle& w, int& fd) {
    const std::string op = OperatorText(w);
    const bool known = !Holds(op, "No Connect");
    const Operator c = OperatorClass(op);
    const int want = !known ? 0 : c == Operator::Verizon ? 2 : c == Operator::Att ? 1 : 0;
    int value = -1;
    if (!GetProvCfg(w, fd, "MEopMode/Prov/Cfg", value)) return;
    if (value == want) {
        w.provCfgCheck = true;
        if (known) {
            common::RecordSysLog("[Wendle] Modem ProvCfg is correct and operator is known");
            w.apnState = CheckAPN;
        } else {
            common::RecordSysLog("[Wendle] Modem ProvCfg is correct but operator is still unknown");
            w.apnTm = Now();
            w.apnState = CheckOperator;
        }
        return;
    }
    if (!SetProvCfg(w, fd, "MEopMode/Prov/Cfg", static_cast<unsigned>(want))) return;
    w.provCfgCheck = true;
    if (!resetModemAndTtyByCmd(w, fd)) {
        common::RecordSysLog("[Wendle] Set Modem ProvCfg OK but reset modem by command failed");
        w.apnState = ResetPowAutoAPN;
    } else if (known) {
        common::RecordSysLog("[Wendle] Set Modem ProvCfg OK and operator is known");
        w.apnState = CheckAPN;
    } else {
        common::RecordSysLog("[Wendle] Set Modem ProvCfg OK but operator is still unknown");
        w.apnTm = Now();
        w.apnState = CheckOperator;
    }
}

void StepApn(Wendle& w, int& fd) {
    const std::string apn = w.map.get(SHRMEM_3G_APN);
    // Refused before any command is sent for it: a setting that can never be
    // written is no reason to deregister, clear or reset the module.
    if (OperatorClass(OperatorText(w)) != Operator::Verizon && !ValidApn(apn)) {
        common::RecordSysLog("[Wendle] Auto APN: configured APN refused; the module is left as it is");
        w.apnState = AutoAPNfail;
        return;
    }
    switch (setApnOffline(w, fd, apn, OperatorText(w))) {
        case 0: w.apnState = ConfigDialNum; break;
        case 1: w.apnState = ResetPowAutoAPN; break;
        default:
            if (!resetModemAndTtyByCmd(w, fd)) {
                common::RecordSysLog("[Wendle] Set Modem APN OK but reset modem by command failed");
                w.apnState = ResetPowAutoAPN;
            } else {
                w.apnState = ConfigDialNum;
            }
    }
}

void StepDial(Wendle& w, int fd) {
    const std::string number = OperatorClass(OperatorText(w)) == Operator::Verizon ? "*99***3#" : "*99#";
    // Written whole through a temporary file: the dial script never reads a
    // half-written file, and the PIN line is for root's eyes only.
    platform::ReplaceFile(platform::SystemPath("/root/ppp/3g-gprs.conf"), DialConfig(number), 0600);
    common::RecordSysLog("[Wendle] Set PPP dial number to " + number);
    getCGDCONT(w, fd);
    getCGDCONTRDP(w, fd);
    std::uint8_t band = 0;
    GetSMONI(w, fd, band);
    w.apnState = StartPPPIF;
}

void StepResetPower(Wendle& w, int& fd) {
    if (fd > 0) w.io->Close(fd);
    fd = 0;
    if (++w.apnResets > kMaxApnResets) {
        common::RecordSysLog("[Wendle] Auto APN process gives up after repeated module resets");
        w.apnState = AutoAPNfail;
        return;
    }
    resetWendle(w);
    Sleep(35);
    w.apnTm = Now();
    w.apnState = CheckModemExist;
}

void StepModemExist(Wendle& w, int& fd) {
    if (CheckWendle(w)) {
        if (InitFdtty(w, fd)) {
            common::RecordSysLog("[Wendle] Recreate FdTTy after modem check OK");
            w.apnState = CheckModemModel;
        } else {
            common::RecordSysLog("[Wendle] Recreate FdTTy after modem check fail");
            w.apnState = ResetPowAutoAPN;
        }
    } else if (Now() - w.apnTm > 60) {
        w.apnTm = Now();
        common::RecordSysLog("[Wendle] Auto APN check modem exist time out");
        w.apnState = ResetPowAutoAPN;
    }
    Sleep(2);
}

}  // namespace

bool autoAPN(Wendle& w, int& fd) {
    const std::uint8_t s = w.apnState;
    // The clearing step is no exception: a module that vanished there would
    // hold the selection, and with it the whole program, for ever.
    if (s <= StartPPPIF && !CheckWendle(w)) {
        w.apnState = ResetPowAutoAPN;
        w.apnMemState = w.apnState;
        return false;
    }
    switch (s) {
        case CheckModemModel: StepModel(w, fd); break;
        case ClearAPN: setClearAPNbyOperator(w, fd); break;
        case CheckSIMstate: StepSim(w, fd); break;
        case CheckOperator: StepOperator(w, fd); break;
        case CheckProvCfg: StepProvCfg(w, fd); break;
        case CheckAPN: StepApn(w, fd); break;
        case ConfigDialNum: StepDial(w, fd); break;
        case StartPPPIF: w.apnState = AutoAPNdone; break;
        case ResetPowAutoAPN: StepResetPower(w, fd); break;
        case CheckModemExist: StepModemExist(w, fd); break;
        case AutoAPNdone:
            common::RecordSysLog("[Wendle] Auto APN process success");
            w.apnMemState = w.apnState;
            return true;
        default:
            common::RecordSysLog("[Wendle] Auto APN process fail");
            w.apnMemState = w.apnState;
            return true;
    }
    w.apnMemState = w.apnState;
    return false;
}

}  // namespace modem
