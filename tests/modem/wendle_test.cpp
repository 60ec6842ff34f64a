// Wendle's loop against an emulated module of each family on the test clock:
// detection to the ppp0 address, the power-reset windows, the test mailbox,
// the band lock, the APN selection and the RF tests.
#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "auto_apn.h"
#include "modem_rig.h"
#include "rf_test.h"
#include "wendle.h"

namespace {

using namespace regmap;
using namespace regmap::mainb;
using modem_test::Count;
using modem_test::Rig;

struct Family {
    const char* model;
    std::uint8_t family;
    const char* pppPort;
};

TEST(WendleLoop, EachFamilyFromDetectionToThePppAddress) {
    const Family families[] = {
        {"MU709s-2", 0, "/dev/ttyUSB0"},
        {"SARA-U201", 1, "/dev/ttyACM0"},
        {"TOBY-L210", 2, "/dev/ttyACM0"},
        {"PLS83-W", 3, "/dev/ttyACM0"},
    };
    for (const Family& f : families) {
        Rig r(f.model);
        r.w.map.setIpv4Text(SHRMEM_ETH0_GATEWAY, "192.168.7.1");
        r.RunFor(300);
        EXPECT_EQ(r.w.ModuleModel, f.family) << f.model;
        EXPECT_EQ(r.w.map.get(SHRMEM_3G_IP), "10.64.0.2") << f.model;
        EXPECT_EQ(r.runner.Count(std::string("/root/ppp/Dunmore ") + f.pppPort), 1) << f.model;
        EXPECT_EQ(r.runner.dialLimitMs, modem::kDialLimitMs) << f.model;
        EXPECT_EQ(r.runner.Count("route del default gw 192.168.7.1 eth0"), 1) << f.model;
        EXPECT_EQ(r.w.map.get(SHRMEM_3G_MODEL), f.family == 0 ? "MU709s-2" : f.model) << f.model;
        EXPECT_EQ(r.w.map.get(SHRMEM_3G_IMEI), "356938035643809") << f.model;
        EXPECT_FALSE(r.w.map.get(ALARM_3G_DISCONNECTED)) << f.model;
        EXPECT_EQ(r.gpio.powerCycles, 0) << f.model;
        const std::string log = r.Log();
        EXPECT_EQ(Count(log, "[Wendle]3G IP address from  to 10.64.0.2\n"), 1) << f.model;
        EXPECT_EQ(Count(log, "[Wendle]Modem model from 255 to " + std::to_string(f.family) + "\n"), 1) << f.model;
        EXPECT_EQ(r.File("/root/ppp/set_apn_temp"), f.family == 3 ? "SETAPN=0\n" : "SETAPN=1\n") << f.model;
    }
}

TEST(WendleDetection, FamilyFromNodesAndModel) {
    Rig usb("MU709s-2");
    EXPECT_TRUE(modem::CheckWendle(usb.w));
    EXPECT_EQ(usb.w.ModuleModel, 0);
    EXPECT_TRUE(usb.dev.Lines().empty()) << "no AT traffic for the USB pair";
    EXPECT_EQ(Count(usb.Log(), "[Wendle]Modem model from 255 to 0\n"), 1);

    struct Case {
        const char* model;
        const char* srvset;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"PLS8-E", "^SSRVSET: 2", {"AT+CGMM", "AT^SSRVSET=\"actSrvSet\""}},
        {"PLS8-E", "^SSRVSET: 1", {"AT+CGMM", "AT^SSRVSET=\"actSrvSet\"", "AT^SSRVSET=\"actSrvSet\",2", "AT+CFUN=1,1"}},
        {"PLS83", "^SSRVSET: 1", {"AT+CGMM"}},
        {"SARA-U201", "", {"AT+CGMM"}},
    };
    for (const Case& c : cases) {
        Rig r(c.model);
        r.dev.script().srvset = c.srvset;
        EXPECT_TRUE(modem::CheckWendle(r.w)) << c.model;
        EXPECT_EQ(r.io.opened, std::vector<std::string>{"/dev/ttyACM1"}) << c.model;
        EXPECT_EQ(r.dev.Lines(), c.lines) << c.model << " " << c.srvset;
        EXPECT_EQ(r.w.ModuleModel, std::string(c.model).rfind("PLS", 0) == 0 ? 3 : 1);
    }
    // An empty mode answer is no "^SSRVSET: 2".
    Rig empty("PLS8-X");
    empty.dev.script().srvset = "";
    modem::CheckWendle(empty.w);
    EXPECT_EQ(empty.Sent("AT^SSRVSET=\"actSrvSet\",2"), 1);
}

TEST(WendleLoop, TobyL210IsSwitchedToThreePorts) {
    Rig r("TOBY-L210");
    r.RunFor(60);
    EXPECT_EQ(r.Sent("AT+UUSBCONF=2"), 1);
    EXPECT_EQ(r.Sent("AT+CFUN=16"), 1);
    EXPECT_EQ(r.w.ModuleModel, 2);
}

TEST(WendleLoop, MissingModuleIsPowerResetOncePerWindow) {
    Rig r("PLS8-E");
    r.io.absent = true;
    std::string logAt700;
    std::size_t cyclesAt700 = 0;
    r.At(700, [&] {
        logAt700 = r.Log();
        cyclesAt700 = r.gpio.cycleTimes.size();
        r.io.absent = false;
    });
    r.RunFor(800);
    // The port wait of the normal-mode entry gives up after 300 s; then one
    // reset at once and one in each 90-s window.
    ASSERT_EQ(cyclesAt700, 5u);
    EXPECT_EQ(r.gpio.cycleTimes.size(), cyclesAt700) << "none once the module is back";
    EXPECT_GE(r.gpio.cycleTimes[0] - 1000, 300 + 10);
    EXPECT_LE(r.gpio.cycleTimes[0] - 1000, 300 + 10 + 10 + 2);
    for (std::size_t i = 1; i < cyclesAt700; ++i) {
        EXPECT_GE(r.gpio.cycleTimes[i] - r.gpio.cycleTimes[i - 1], 86) << i;
        EXPECT_LE(r.gpio.cycleTimes[i] - r.gpio.cycleTimes[i - 1], 94) << i;
    }
    EXPECT_EQ(Count(logAt700, "[Wendle][4633] 3G module not exist\n"), 1);
    EXPECT_EQ(Count(logAt700, "[Wendle] Reset modem by power pin\n"), 5);
    // Back: the alarm clears with its line.
    const std::string log = r.Log();
    EXPECT_EQ(Count(log, "[Wendle][4325] 3G module exist\n"), 1);
    EXPECT_FALSE(r.w.map.get(ALARM_3G_MODULE_FAIL));
}

TEST(WendleLoop, NoPowerResetWhileChargingOrWithoutModem) {
    for (int variant = 0; variant < 2; ++variant) {
        Rig r("PLS8-E");
        r.io.absent = true;
        if (variant == 0) r.w.map.set(SHRMEM_CHARGER_STATE, 0x10);
        else r.w.map.set(SHRMEM_MODEL_NAME, "DSYE-150");
        r.RunFor(600);
        EXPECT_EQ(r.gpio.powerCycles, 0) << variant;
        EXPECT_TRUE(r.w.map.get(ALARM_3G_MODULE_FAIL)) << variant;
        EXPECT_TRUE(r.w.map.get(ALARM_3G_DISCONNECTED)) << variant;
        EXPECT_EQ(r.image[339] & ~0x05, 0) << variant;
        EXPECT_EQ(Count(r.Log(), "3G module not exist"), 1) << variant;
    }
}

TEST(WendleLoop, NoAddressWithoutSimGivesFiveResetsAtMost) {
    Rig r("SARA-U201");
    r.runner.dialGivesAddress = false;
    r.dev.SetFault("AT+CIMI", sim::Fault::Error);
    r.dev.SetFault("AT+CCID", sim::Fault::Error);
    r.RunFor(1500);
    ASSERT_EQ(r.gpio.cycleTimes.size(), 5u);
    for (std::size_t i = 1; i < 5; ++i) EXPECT_GE(r.gpio.cycleTimes[i] - r.gpio.cycleTimes[i - 1], 90) << i;
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_IP), "");
    EXPECT_EQ(Count(r.Log(), "[Wendle][4507] 3G internet disconnected\n"), 1);

    // A known SIM keeps resetting without a limit.
    Rig k("SARA-U201");
    k.runner.dialGivesAddress = false;
    k.RunFor(1500);
    EXPECT_GT(k.gpio.powerCycles, 6);
}

TEST(WendleLoop, BackendRecoveryAfter301Seconds) {
    Rig r("TOBY-L210");
    r.w.map.set(SHRMEM_SYSTEM_READY, 1);
    r.runner.pingResult = 1;
    int dialsBefore = 0, pingsAt400 = -1, pingsAt410 = -1;
    std::string apnFirst;
    r.At(100, [&] {
        dialsBefore = r.runner.Count("/root/ppp/Dunmore");
        apnFirst = r.File("/root/ppp/set_apn_temp");
        r.websocket = false;
    });
    r.At(400, [&] { pingsAt400 = r.runner.Count("/bin/ping"); });
    r.At(410, [&] { pingsAt410 = r.runner.Count("/bin/ping"); });
    r.RunFor(420);
    EXPECT_EQ(pingsAt400, 0) << "not before 301 s";
    EXPECT_EQ(pingsAt410, 1);
    EXPECT_EQ(dialsBefore, 1);
    EXPECT_EQ(r.runner.Count("/bin/ping -c 10 8.8.8.8"), 1);
    EXPECT_EQ(r.runner.Count("/root/ppp/Dunmore"), dialsBefore + 1) << "a failed ping restarts the link";
    EXPECT_EQ(apnFirst, "SETAPN=1\n");
    EXPECT_EQ(r.File("/root/ppp/set_apn_temp"), "SETAPN=0\n") << "families 1 and 2 alternate";

    // With no SIM only the line, once, while the SIM stays gone.
    Rig s("TOBY-L210");
    s.websocket = false;
    s.w.map.set(SHRMEM_SYSTEM_READY, 1);
    s.dev.script().cind = "5,0,0,0,0,0,0,0,0,0,0,0";
    s.RunFor(1000);
    EXPECT_EQ(s.runner.Count("/bin/ping"), 0);
    EXPECT_EQ(Count(s.Log(), "[Wendle] Can not recover backend error\n"), 1);
}

TEST(WendleLoop, WithOcpp15TheAgentsOnlineBitIsTheBackendState) {
    for (bool online : {true, false}) {
        Rig r("TOBY-L210");
        r.w.map.set(SHRMEM_SYSTEM_READY, 1);
        r.w.map.set(regmap::SHRMEM_OCPP_MODE, 1);
        r.w.map.set(regmap::SHRMEM_OCPP15_CS_REQUEST2, online ? 0x80 : 0x00);
        r.websocket = false;  // stays 0 with OCPP 1.5
        r.runner.pingResult = 1;
        r.RunFor(420);
        EXPECT_EQ(r.runner.Count("/bin/ping"), online ? 0 : 1) << online;
    }
}

TEST(WendleMailbox, WrongCommandWaitsForARealOne) {
    Rig r("PLS8-E");
    std::size_t lines240 = 0, lines260 = 0;
    int restarts = 0;
    r.At(200, [&] { r.w.map.set(SHRMEM_3G_RF_TEST_CMD, 7); });
    r.At(220, [&] { r.w.map.set(SHRMEM_3G_RF_TEST_CMD, 0); });
    r.At(240, [&] { lines240 = r.dev.Lines().size(); });
    r.At(260, [&] {
        lines260 = r.dev.Lines().size();
        restarts = r.Sent("AT+CFUN=1,1");
        r.w.map.set(SHRMEM_3G_RF_TEST_CMD, 255);
    });
    r.RunFor(400);
    EXPECT_EQ(Count(r.Log(), "[Wendle] Wrong modem test command\n"), 1);
    EXPECT_EQ(lines260, lines240) << "0 does not end the wait";
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_RF_TEST_CMD), 0);
    EXPECT_EQ(Count(r.Log(), "[Wendle] Exit modem test mode and reset the modem\n"), 1);
    EXPECT_EQ(r.Sent("AT+CFUN=1,1"), restarts + 1);
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_RF_RX_POWER), 127);
}

TEST(WendleBandLock, PlsLocksToTheServingBand) {
    struct Case {
        const char* model;
        std::uint8_t lock;
        std::string smoni;
        std::string masks;  // last band command, "" = none sent
    };
    const Case cases[] = {
        {"PLS8-E", 1, "4G,6300,20,10,10,FDD", "\"80000\",\"0\""},
        {"PLS8-E", 1, "4G,66436,66,10,10,FDD", "\"0\",\"200000000\""},
        {"PLS8-E", 1, "3G,10564,296,-5.0,-85", "\"0a0e18df\",\"2000001a0\""},
        {"PLS83", 1, "4G,6300,20,10,10,FDD", ""},
        {"PLS8-E", 0, "4G,6300,20,10,10,FDD", ""},
    };
    for (const Case& c : cases) {
        Rig r(c.model);
        r.w.map.set(SHRMEM_3G_BAND_LOCK, c.lock);
        r.dev.script().smoni = c.smoni;
        r.w.ModuleModel = 3;
        r.w.map.set(SHRMEM_3G_MODEL, c.model);
        const int fd = r.io.Open("/dev/ttyACM1");
        modem::SetAllBand(r.w, fd);
        modem::SetBandLock(r.w, fd);
        EXPECT_EQ(r.dev.BandMasks(), c.masks) << c.model << " " << c.smoni;
        if (!c.masks.empty()) {
            EXPECT_EQ(r.dev.Lines().front(), "AT^SCFG=\"radio/band/4g\",\"0a0e18df\",\"2000001a0\"");
        }
    }
}

TEST(WendleApn, VerizonOnPls8X) {
    Rig r("PLS8-X");
    r.dev.script().cops = "0,0,\"Verizon Wireless\",7";
    r.dev.script().provCfg = 0;
    r.w.map.set(SHRMEM_3G_APN, "ignored.for.verizon");
    platform::ReplaceFile(r.root.path() + "/root/ppp/sim_pin", std::string("4826\n"), 0600);
    r.RunFor(900);
    EXPECT_EQ(r.Sent("AT^SCFG=MEopMode/Prov/Cfg,2"), 1);
    EXPECT_EQ(r.dev.script().provCfg, 2);
    EXPECT_GE(r.Sent("AT+CFUN=1,1"), 2);
    const std::map<int, std::string> verizon = {{1, "1,\"IPV4V6\",\"vzwims\""},
                                                {2, "2,\"IPV4V6\",\"vzwadmin\""},
                                                {3, "3,\"IPV4V6\",\"vzwinternet\""},
                                                {4, "4,\"IPV4V6\",\"vzwapp\""}};
    EXPECT_EQ(r.dev.Contexts(), verizon);
    EXPECT_EQ(r.File("/root/ppp/3g-gprs.conf"),
              "PIN=4826\nTELEPHONE=*99***3#\nLOCAL_IP=0.0.0.0\nREMOTE_IP=0.0.0.0\nNETMASK=255.255.255.0\n");
    struct stat st{};
    ASSERT_EQ(stat((r.root.path() + "/root/ppp/3g-gprs.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(r.w.apnState, modem::AutoAPNdone);
    EXPECT_EQ(Count(r.Log(), "[Wendle] Auto APN process success\n"), 1);
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_IP), "10.64.0.2");
}

TEST(WendleApn, SelectionEnds) {
    // No SIM: the selection fails at the SIM step.
    Rig r("PLS8-X");
    r.dev.script().cpin = "cme:10";
    r.RunFor(300);
    EXPECT_EQ(r.w.apnState, modem::AutoAPNfail);
    EXPECT_EQ(Count(r.Log(), "[Wendle] Auto APN process fail due to SIM is not valid\n"), 1);
    EXPECT_EQ(Count(r.Log(), "[Wendle] Auto APN process fail\n"), 1);

    // An APN that would carry a second command is never written.
    Rig q("PLS8-E");
    q.w.map.set(SHRMEM_3G_APN, "web\"\rAT+CFUN=0");
    q.RunFor(600);
    for (const auto& l : q.dev.Lines()) EXPECT_NE(l, "AT+CFUN=0");
    EXPECT_GE(Count(q.Log(), "configured APN refused"), 1);
    EXPECT_TRUE(q.dev.Contexts().empty());
    // Refused before anything is sent for it: past the selection's own
    // clearing no deregistration, no context read or write, no reset.
    EXPECT_EQ(q.Sent("AT+COPS=2"), 1) << "the clearing's own";
    EXPECT_EQ(q.Sent("AT+CGDCONT?"), 0);
    EXPECT_EQ(q.Sent("AT+CGDCONT=1,\"IP\",\"\""), 1) << "the clearing's own";
    EXPECT_EQ(q.Sent("AT+CFUN=1,1"), 1) << "the clearing's own";
    EXPECT_EQ(q.gpio.powerCycles, 0);
    EXPECT_EQ(q.w.apnState, modem::AutoAPNfail);

    // A module that keeps vanishing: the selection gives up after a bounded number of resets.
    Rig v("PLS8-E");
    v.dev.SetFault("AT+COPS=2", sim::Fault::Silent);
    v.At(20, [&] { v.io.absent = true; });
    v.RunFor(3000);
    EXPECT_EQ(v.w.apnState, modem::AutoAPNfail);
    EXPECT_EQ(Count(v.Log(), "[Wendle] Auto APN process fail\n"), 1);
    EXPECT_GE(v.gpio.powerCycles, modem::kMaxApnResets);
}

TEST(WendleApn, ApnTexts) {
    for (const char* ok : {"internet", "web.vodafone.de", "a-b.c", "0123456789012345678901234567890"}) {
        EXPECT_TRUE(modem::ValidApn(ok)) << ok;
    }
    for (const char* bad : {"", "a\"b", "a\rb", "a b", "a,b", "01234567890123456789012345678901"}) {
        EXPECT_FALSE(modem::ValidApn(bad)) << bad;
    }
    EXPECT_TRUE(modem::compareAPN("+CGDCONT: 1,\"IPV4V6\",\"broadband\",\"\"", "broadband", "\"AT&T\""));
    EXPECT_FALSE(modem::compareAPN("+CGDCONT: 1,\"IP\",\"broadband\",\"\"", "broadband", "\"AT&T\""));
    EXPECT_TRUE(modem::compareAPN("+CGDCONT: 1,\"IP\",\"web\"", "web", "\"Telekom\""));
}

TEST(WendleRfTest, TransmitAndReceiveOnPls83) {
    Rig r("PLS83");
    r.RunFor(60);
    r.w.map.set(SHRMEM_3G_RF_TEST_BAND_TYPE, 0);
    r.w.map.set(SHRMEM_3G_RF_TEST_BAND, 20);
    r.w.map.set(SHRMEM_3G_RF_TEST_TX_LEVEL, 23);
    r.w.map.set(SHRMEM_3G_RF_TEST_CMD, 2);
    r.RunFor(10);
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_RF_TX_RESULT), 1);
    auto at = std::find(r.dev.Lines().begin(), r.dev.Lines().end(), "AT^SCFG=\"MEopMode/CT\",\"0\"");
    ASSERT_NE(at, r.dev.Lines().end());
    EXPECT_EQ(*(at + 1), "AT^SCFG=\"MEopMode/CT\",\"1\",\"\",\"23\",\"24300\"");
    EXPECT_EQ(r.Sent("AT+CFUN=5"), 1);

    // A negative level is sent once, until an input changes.
    r.w.map.set(SHRMEM_3G_RF_TEST_TX_LEVEL, static_cast<std::uint8_t>(-50));
    r.RunFor(10);
    EXPECT_EQ(r.Sent("AT^SCFG=\"MEopMode/CT\",\"1\",\"\",\"-50\",\"24300\""), 1);

    r.w.map.set(SHRMEM_3G_RF_TEST_CMD, 3);
    r.RunFor(12);
    EXPECT_EQ(static_cast<std::int8_t>(r.w.map.get(SHRMEM_3G_RF_RX_POWER)), -86);
    EXPECT_EQ(Count(r.Log(), "[Wendle] Modem test send Rx Power command OK, RX power=-86dbm\n"), 3);

    const std::pair<double, int> readings[] = {{-85.3, -85}, {-85.7, -86}, {-200.0, -128}, {300.0, 126}, {0.2, 0}};
    for (const auto& [dbm, byte] : readings) EXPECT_EQ(modem::RxPowerByte(dbm), byte) << dbm;
}

TEST(WendleRfTest, LevelsChannelsAndUnsupportedModules) {
    Rig e("PLS8-E");
    e.w.map.set(SHRMEM_3G_MODEL, "PLS8-E");
    EXPECT_EQ(modem::getModemTestBandUarfcn(e.w, 1, 9), -1);
    EXPECT_EQ(modem::getModemTestBandUarfcn(e.w, 0, 41), 40620);
    EXPECT_EQ(modem::getModemTestBandUarfcn(e.w, 2, 1), -1);
    Rig p("PLS83");
    p.w.map.set(SHRMEM_3G_MODEL, "PLS83");
    EXPECT_EQ(modem::getModemTestBandUarfcn(p.w, 1, 9), 8837);
    EXPECT_EQ(modem::getModemTestBandUarfcn(p.w, 0, 41), 40740);
    EXPECT_EQ(modem::getModemTestBandUarfcn(p.w, 0, 71), 133297);
    const std::string log = e.Log() + p.Log();
    EXPECT_EQ(Count(log, "[Wendle] Modem test band number is wrong, band number=9\n"), 1);
    EXPECT_EQ(Count(log, "[Wendle] Modem test type command wrong, type=2\n"), 1);

    // Level 0 is out of range on a PLS8-E.
    Rig l("PLS8-E");
    l.RunFor(60);
    l.w.map.set(SHRMEM_3G_RF_TEST_BAND, 20);
    l.w.map.set(SHRMEM_3G_RF_TEST_TX_LEVEL, 0);
    l.w.map.set(SHRMEM_3G_RF_TX_RESULT, 1);
    l.w.map.set(SHRMEM_3G_RF_TEST_CMD, 2);
    l.RunFor(10);
    EXPECT_EQ(l.w.map.get(SHRMEM_3G_RF_TX_RESULT), 0);
    EXPECT_EQ(Count(l.Log(), "[Wendle] Modem test Tx power command out of range (1~127)\n"), 1);

    // The reset test on a class 2 module is refused and leaves the results cleared.
    Rig t("TOBY-L210");
    t.RunFor(60);
    t.w.map.set(SHRMEM_3G_RF_TX_RESULT, 1);
    t.w.map.set(SHRMEM_3G_RF_TEST_CMD, 1);
    t.RunFor(5);
    EXPECT_EQ(Count(t.Log(), "[Wendle] Reset test command is not supported for the modem model: 2\n"), 1);
    EXPECT_EQ(t.w.map.get(SHRMEM_3G_RF_RX_POWER), 127);
    EXPECT_EQ(t.w.map.get(SHRMEM_3G_RF_TX_RESULT), 0);
}

}  // namespace

// The module's answer must hold the whole mode text: an answer that is only
// a piece of it ("2", "SET") is no module in mode 2, and the mode is set.
TEST(WendleDetection, OperationModeAnswerMustHoldTheWholeModeText) {
    const struct {
        const char* answer;
        int result;
    } cases[] = {
        {"^SSRVSET: 2", 0}, {"2", 2}, {"SET", 2}, {"^SSRVSET: 1", 2}, {"^SSRVSET: 2,1", 0},
    };
    for (const auto& c : cases) {
        Rig r("PLS8-E");
        r.dev.script().srvset = c.answer;
        const int fd = r.io.Open("/dev/ttyACM1");
        EXPECT_EQ(modem::checkGemaltoOpMode(r.w, fd), c.result) << c.answer;
        EXPECT_EQ(r.Sent("AT^SSRVSET=\"actSrvSet\",2"), c.result == 0 ? 0 : 1) << c.answer;
    }
}

// The pid file may be stale (a crash, a reboot) and name any process by now:
// only a process that is pppd is ended.
TEST(WendleLink, StalePidFileNeverEndsAProcessThatIsNotPppd) {
    TestRoot root;
    root.Make("/var/run");
    root.Make("/Storage/SystemLog");
    auto child = [](const char* name) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_NAME, name);
            for (;;) pause();
        }
        return pid;
    };
    // The name is set by the child itself: wait until /proc shows it.
    auto named = [](pid_t pid, const std::string& name) {
        for (int i = 0; i < 1000; ++i) {
            if (platform::ReadTextFile("/proc/" + std::to_string(pid) + "/comm", 64) == name + "\n") return true;
            usleep(10000);
        }
        return false;
    };
    const pid_t other = child("sshd");
    const pid_t pppd = child("pppd");
    ASSERT_GT(other, 0);
    ASSERT_GT(pppd, 0);
    ASSERT_TRUE(named(other, "sshd"));
    ASSERT_TRUE(named(pppd, "pppd"));
    int status = 0;

    platform::ReplaceFile(root.path() + "/var/run/ppp0.pid", std::to_string(other) + "\n");
    modem::StopPpp();
    usleep(100000);
    EXPECT_EQ(waitpid(other, &status, WNOHANG), 0) << "the unrelated process lives on";
    std::string log;
    for (const auto& e : std::filesystem::directory_iterator(root.path() + "/Storage/SystemLog")) {
        log += platform::ReadTextFile(e.path().string(), 1 << 16);
    }
    EXPECT_EQ(Count(log, "names process " + std::to_string(other) + ", which is not pppd: left alone"), 1) << log;

    platform::ReplaceFile(root.path() + "/var/run/ppp0.pid", std::to_string(pppd) + "\n");
    modem::StopPpp();
    ASSERT_EQ(waitpid(pppd, &status, 0), pppd);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);

    kill(other, SIGKILL);
    waitpid(other, &status, 0);
}

// A dial script that never returns is ended at its limit; the loop goes on,
// tries the link again and says so once a minute at most.
TEST(WendleLink, HungDialScriptIsEndedAndTheLoopGoesOn) {
    Rig r("MU709s-2");
    r.runner.dialHangs = true;
    r.RunFor(600);
    EXPECT_GE(r.runner.Count("/root/ppp/Dunmore /dev/ttyUSB0"), 2) << "tried again";
    const int lines = Count(r.Log(), "[Wendle] Dial script did not end within 120 s: ended");
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, 11) << "once a minute at most";
}
