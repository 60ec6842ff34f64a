// Pellion against the module bank on the test clock: addressing and the
// parameter block, the set-point mailbox and the plant, status reports and
// their alarms, supervision, and the shared bytes it must not corrupt.
#include <gtest/gtest.h>

#include <algorithm>

#include "pellion_rig.h"

namespace {

using namespace regmap;
using namespace smr;
using platform::CanFrame;

modbank::SimModule& ModuleAt(PellionRig& r, unsigned address) {
    modbank::SimModule* m = r.bank.ByAddress(address);
    EXPECT_NE(m, nullptr) << "no module at address " << address;
    return *m;
}

TEST(PellionAssignment, LowestSerialFirstAndBothOperational) {
    PellionRig r;
    r.AddTwoModules();
    r.StartAndAssign();
    EXPECT_EQ(r.map.get(SHRMEM_RECTIFIER_QTY), 2);
    EXPECT_EQ(r.bank.modules[1].address, 1);  // serial word 0 0x0042
    EXPECT_EQ(r.bank.modules[0].address, 2);  // serial word 0 0x1234
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(r.p.SmrAddrMsn[i].state, 4);
        EXPECT_EQ(r.p.SmrAddrMsn[i].address, i + 1);
        EXPECT_TRUE(r.bank.modules[static_cast<std::size_t>(i)].operational);
    }
    EXPECT_EQ(r.p.PresentModule, KindBits(10));
    EXPECT_FALSE(r.map.get(ALARM_SMR_COMM));
    // The serial words stand low byte first in the logged number.
    const std::string log = r.Log();
    EXPECT_NE(log.find("[Pellion]SmrIdAssign:#1-MSN:4200444455556666"), std::string::npos) << log;
    EXPECT_NE(log.find("[Pellion]SmrIdAssign:#2-MSN:3412111122223333"), std::string::npos) << log;
    EXPECT_NE(log.find("[Pellion]GetVersion:#1 - version=V1.02.03"), std::string::npos) << log;
    // The default set-point of a fresh bank, 500.0 V, goes to the modules,
    // still off; the mailbox is its writers' alone. Station power x 5.
    const std::vector<CanFrame> setPoints = r.bus.Sent(0xFFFFFFFF, kSetPoint | KindBits(10));
    ASSERT_FALSE(setPoints.empty());
    EXPECT_EQ(Be16(setPoints.front().data), 0x9388);
    EXPECT_EQ(r.p.PCMOnOff, kOff);
    EXPECT_EQ(r.map.get(SHRMEM_SET_V1), 0);
    EXPECT_EQ(r.map.get(SHRMEM_SET_I1), 0);
    EXPECT_EQ(r.map.get(SHRMEM_SET_POWER), 150);
}

TEST(PellionAssignment, ParameterBlockCheckedAndDownloadedOnlyWhenItDiffers) {
    for (bool matches : {true, false}) {
        PellionRig r;
        r.bank.Add(0x0100, 1, 2, 3);
        if (matches) std::copy_n(r.map.bytes(SHRMEM_MODULE_PARAMS), 46, r.bank.modules[0].params);
        r.StartAndAssign();
        ASSERT_TRUE(r.bank.modules[0].operational) << matches;
        const std::uint32_t k = KindBits(10) | 1;
        std::vector<std::uint32_t> want;
        if (matches) {
            want = {kCrcCheck | k, kGoOperational | k};
        } else {
            want = {kCrcCheck | k, kDownloadStart | k, kDownloadFirst | k, kDownloadMiddle | k, kDownloadMiddle | k,
                    kDownloadMiddle | k, kDownloadMiddle | k, kDownloadLast | k, kCrcCheck | k, kGoOperational | k};
        }
        // Classes 0x00 and 0x0C to address 1: the go-operational sequence.
        std::vector<std::uint32_t> got;
        for (std::uint32_t id : r.bus.SentIds())
            if ((Class(id) == kClassDownload || id == (kGoOperational | k)) && Address(id) == 1) got.push_back(id);
        EXPECT_EQ(got, want) << matches;
        if (!matches) {
            // Bytes 196-241 in six segments, in order.
            std::vector<std::uint8_t> bytes;
            for (const CanFrame& f : r.bus.Sent(0xFFF0FF00u & ~kKindMask, 0x18104000))
                bytes.insert(bytes.end(), f.data, f.data + f.len);
            EXPECT_EQ(bytes, std::vector<std::uint8_t>(r.map.bytes(SHRMEM_MODULE_PARAMS),
                                                       r.map.bytes(SHRMEM_MODULE_PARAMS) + 46));
            EXPECT_EQ(r.bank.modules[0].ParamCrc(), r.map.get(SHRMEM_PARAM_CRC));
        }
    }
}

TEST(PellionAssignment, ModuleThatKeepsItsOldBlockIsGivenUpAndTheBankReannounced) {
    PellionRig r;
    r.bank.Add(0x0100, 1, 2, 3).acceptDownload = false;
    r.p.Startup();
    r.RunFor(30000);
    EXPECT_FALSE(r.bank.modules[0].operational);
    EXPECT_EQ(r.map.get(SHRMEM_RECTIFIER_QTY), 0);
    // Each run gives up after a bounded number of downloads, then announces again.
    EXPECT_GE(r.bus.SentIds(0xFFFFFFFF, kAnnounce).size(), 2u);
    const int runs = static_cast<int>(r.bus.SentIds(0xFFFFFFFF, kAnnounce).size()) - 1;
    EXPECT_LE(r.bank.modules[0].downloads, (runs + 1) * pellion::kMaxDownloads);
}

TEST(PellionAssignment, AFifthModuleDoesNotRunPastTheTable) {
    PellionRig r;
    for (std::uint16_t i = 0; i < 5; ++i) r.bank.Add(static_cast<std::uint16_t>(0x10 + i), 1, 2, i);
    r.StartAndAssign();
    EXPECT_EQ(r.map.get(SHRMEM_RECTIFIER_QTY), 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(r.bank.modules[static_cast<std::size_t>(i)].address, i + 1);
    EXPECT_EQ(r.bank.modules[4].address, 0);
}

TEST(PellionSupervision, NoModuleWithTheContactorClosedRaisesTheAlarmOnce) {
    PellionRig r;
    r.p.Startup();
    r.RunFor(14900);
    EXPECT_FALSE(r.map.get(ALARM_SMR_COMM));
    r.RunFor(1200);
    EXPECT_TRUE(r.map.get(ALARM_SMR_COMM));
    r.RunFor(20000);
    const std::string log = r.Log();
    EXPECT_EQ(Count(log, "No SMR in operation"), 1) << log;
    EXPECT_EQ(Count(log, "[Pellion][7330] No SMR in operation; AC contactor1:1, AC contactor2:0"), 1) << log;
}

TEST(PellionSupervision, SilentModulesAreLoggedOnceAndTheAlarmNeedsBoth) {
    PellionRig r;
    r.AddTwoModules();
    r.StartAndAssign();
    ModuleAt(r, 2).muted = true;
    r.RunFor(70000);
    std::string log = r.Log();
    EXPECT_EQ(Count(log, "main:#2 - No ping acknowledge"), 1) << log;
    EXPECT_EQ(Count(log, "main:#1 - No ping acknowledge"), 0) << log;
    EXPECT_FALSE(r.map.get(ALARM_SMR_COMM));
    // The module answers again and is supervised again.
    r.bank.modules[0].muted = false;
    r.RunFor(70000);
    r.bank.modules[0].muted = true;
    r.RunFor(70000);
    log = r.Log();
    EXPECT_EQ(Count(log, "main:#2 - No ping acknowledge"), 2) << log;
    ModuleAt(r, 1).muted = true;
    r.RunFor(70000);
    log = r.Log();
    EXPECT_EQ(Count(log, "[Pellion][7354]main:#1 - No ping acknowledge,SHRMEM_RECTIFIER1_RELAY=0,SHRMEM_RECTIFIER2_RELAY=0"), 1) << log;
    EXPECT_TRUE(r.map.get(ALARM_SMR_COMM));
}

TEST(PellionSetPoint, TheMailboxDrivesTheModulesAndTheirOutputReachesTheMap) {
    struct Case { std::uint16_t volts, amps; double ohms; std::uint16_t outV, outI; };
    const Case cases[] = {
        {4000, 300, 20.0, 4000, 200},   // voltage reached, load draws 20 A of 30 A allowed
        {4000, 100, 20.0, 2000, 100},   // current share caps the output at 10 A
    };
    for (const Case& c : cases) {
        PellionRig r;
        r.AddTwoModules();
        r.bank.loadOhms = c.ohms;
        r.StartAndAssign();
        r.ArmSetPoint(c.volts, c.amps);
        r.RunFor(3000);
        EXPECT_EQ(r.map.get(SHRMEM_SET_PENDING), 0);
        EXPECT_EQ(r.p.PCMOnOff, kOn);
        EXPECT_EQ(r.map.get(SHRMEM_PCM_ONOFF), kOn);
        EXPECT_EQ(r.map.get(SHRMEM_RECTIFIER_OUTPUT_VOLT), c.outV) << c.amps;
        EXPECT_EQ(r.map.get(SHRMEM_SMR_VOUT1), c.outV);
        EXPECT_EQ(r.map.get(SHRMEM_SMR_VOUT2), c.outV);
        EXPECT_EQ(r.map.get(SHRMEM_SMR_IOUT1), c.outI / 2);
        EXPECT_EQ(r.map.get(SHRMEM_SMR_IOUT2), c.outI / 2);
        EXPECT_EQ(r.map.get(SHRMEM_GET_I1), c.outI);
        EXPECT_EQ(r.map.get(SHRMEM_CCS_EVSE_PRESENT_CURRENT), (c.outI + 5) / 10);
        // Available current of both modules: 40.00 A each.
        EXPECT_EQ(r.map.get(SHRMEM_SMR_AVAIL_CURRENT), 80);
        EXPECT_EQ(r.map.get(SHRMEM_SMR_AVAIL_POWER), 30000);
        EXPECT_EQ(r.map.get(SHRMEM_AVAILABLE_POWER), 30000);
    }
}

// The bank feeding the CHAdeMO outlet: what Pellion reads back and what a
// voltmeter at the outlet shows, for the relay, the vehicle's contactor and
// its battery (350.0 V, 0.1 ohm in series).
TEST(PellionSetPoint, TheOutletModelChargesTheBatteryOnlyThroughRelayAndContactor) {
    struct Case {
        const char* what;
        bool relays, contactor;
        std::uint16_t volts, amps, overVolt;
        std::uint16_t current, outlet;
    };
    const Case cases[] = {
        {"charging at the requested 30 A", true, true, 4000, 300, 0, 300, 3530},
        {"set below the battery: no current", true, true, 3000, 300, 0, 0, 3500},
        {"contactor open: no load", true, false, 4000, 300, 0, 0, 4000},
        {"relay open: the battery alone at the outlet", false, true, 4000, 300, 0, 0, 3500},
        {"both open: nothing at the outlet", false, false, 4000, 300, 0, 0, 0},
        {"modules off: the battery through the contactor", true, true, 0, 0, 0, 0, 3500},
        {"a regulation fault lifts the output", true, true, 4000, 300, 400, 300, 3930},
    };
    for (const Case& c : cases) {
        PellionRig r;
        r.AddTwoModules();
        r.bank.outletModel = true;
        r.bank.outlet = {c.relays, c.contactor, 3500, 0.1, c.overVolt};
        r.StartAndAssign();
        r.ArmSetPoint(c.volts, c.amps);
        r.RunFor(3000);
        EXPECT_EQ(r.map.get(SHRMEM_GET_I1), c.current) << c.what;
        EXPECT_EQ(r.bank.OutletVoltage(), c.outlet) << c.what;
    }
}

TEST(PellionSetPoint, ARestartedBankIsSwitchedOnByTheNextSetPoint) {
    PellionRig r;
    r.AddTwoModules();
    r.bank.loadOhms = 20.0;
    r.StartAndAssign();
    r.ArmSetPoint(4000, 300);
    r.RunFor(2000);
    ASSERT_EQ(r.map.get(SHRMEM_RECTIFIER_OUTPUT_VOLT), 4000);
    // The bank loses power and comes back: its modules ask for addresses, off.
    for (auto& m : r.bank.modules) {
        modbank::SimModule fresh;
        std::copy_n(m.serial, 4, fresh.serial);
        m = fresh;
    }
    r.bank.PowerUp();
    r.RunFor(8000);
    r.ArmSetPoint(3000, 300);
    r.RunFor(2000);
    EXPECT_EQ(r.map.get(SHRMEM_RECTIFIER_OUTPUT_VOLT), 3000);
}

// A session arms its set-point at the instant a re-addressed bank is taken
// into service: the modules are switched on at that set-point, never at the
// fresh bank's default of 500.0 V.
TEST(PellionSetPoint, ASetPointArmedAsTheBankIsReaddressedIsAppliedAsWritten) {
    PellionRig r;
    r.ModulesOn();
    // The bank loses power and comes back: its modules ask for addresses, off.
    for (auto& m : r.bank.modules) {
        modbank::SimModule fresh;
        std::copy_n(m.serial, 4, fresh.serial);
        m = fresh;
    }
    r.bank.PowerUp();
    bool armed = false;
    std::uint16_t highest = 0;
    r.bus.onWrite = [&](const CanFrame& f) {
        if (!armed && (FrameId(f) & ~kKindMask & 0xFFFFFF00u) == kModuleConnection) {
            r.ArmSetPoint(3000, 300);
            armed = true;
        }
        r.bank.Receive(f, r.clock.MonotonicMs());
        for (const auto& m : r.bank.modules)
            if (m.onOff == kOn) highest = std::max(highest, m.setVoltage);
    };
    r.RunFor(8000);
    ASSERT_TRUE(armed);
    ASSERT_FALSE(r.p.Assigning());
    EXPECT_EQ(r.map.get(SHRMEM_SET_V1), 3000);
    EXPECT_EQ(r.map.get(SHRMEM_SET_PENDING), 0);
    EXPECT_EQ(r.p.PCMOnOff, kOn);
    EXPECT_EQ(highest, 3000);
    EXPECT_EQ(r.map.get(SHRMEM_RECTIFIER_OUTPUT_VOLT), 3000);
}

TEST(PellionSetPoint, OffAndEmergencyCodes) {
    struct Case { std::uint16_t volts; bool emergency; std::uint8_t code; };
    const Case cases[] = {{0, false, 1}, {0, true, 3}, {4000, true, 3}};
    for (const Case& c : cases) {
        PellionRig r;
        r.AddTwoModules();
        r.StartAndAssign();
        r.ArmSetPoint(4000, 300);
        r.RunFor(1000);
        r.bus.sent.clear();
        if (c.emergency) r.map.set(SHRMEM_STOP_BUTTON, 0x08);
        r.ArmSetPoint(c.volts, 300);
        r.p.LoopPass();
        const auto switches = r.bus.Sent(0xFFFFFFFF, kSwitch | KindBits(10));
        ASSERT_EQ(switches.size(), 2u) << c.volts << c.emergency;
        for (const auto& f : switches) EXPECT_EQ(f.data[0], c.code);
        // The off commands come before any set-point of this pass.
        EXPECT_EQ(FrameId(r.bus.sent.at(0)), kSwitch | KindBits(10));
        EXPECT_EQ(r.map.get(SHRMEM_SET_PENDING), 0);
        EXPECT_EQ(r.map.get(SHRMEM_PCM_ONOFF), c.code);
    }
}

TEST(PellionSetPoint, ModulesAlreadyOnGetOnlyTheSetPointFrame) {
    PellionRig r;
    r.AddTwoModules();
    r.StartAndAssign();
    r.ArmSetPoint(4000, 300);
    r.RunFor(1000);
    r.bus.sent.clear();
    r.ArmSetPoint(3000, 300);
    r.p.LoopPass();
    EXPECT_EQ(r.bus.Sent(0xFFFFFFFF, kSetPoint | KindBits(10)).size(), 1u);
    EXPECT_TRUE(r.bus.Sent(0xFFFFFFFF, kSwitch | KindBits(10)).empty());
}

TEST(PellionSetPoint, SetPointFrameBytes) {
    struct Case {
        std::uint16_t avail1, avail2;  // 0.01 A
        std::uint16_t chademoPresent, chademoTarget, present, override;
        std::uint8_t frame[8];
        std::uint8_t limit;
    };
    const Case cases[] = {
        // 400.0 V, 30 A of 40 A available: share 7500; power 30 kW x 5; limit = set voltage.
        {2000, 2000, 0, 0, 0, 0, {0x8F, 0xA0, 0x1D, 0x4C, 0x40, 0x96, 0x8F, 0xA0}, 40},
        // Nothing reported yet: 82 A assumed, lowered to the rated 60 A.
        {0, 0, 0, 0, 0, 0, {0x8F, 0xA0, 0x0E, 0x4A, 0x40, 0x96, 0x8F, 0xA0}, 60},
        // CHAdeMO present voltage 511 V: limit (511 + 5) x 10.
        {2000, 2000, 511, 400, 3990, 0, {0x8F, 0xA0, 0x1D, 0x4C, 0x40, 0x96, 0x94, 0x28}, 40},
        {2000, 2000, 0, 400, 3990, 0, {0x8F, 0xA0, 0x1D, 0x4C, 0x40, 0x96, 0x8F, 0xA0}, 40},
        {2000, 2000, 0, 0, 3990, 0, {0x8F, 0xA0, 0x1D, 0x4C, 0x40, 0x96, 0x8F, 0x96}, 40},
        // Override 350 V; a limit beyond the voltage form is sent as its largest value.
        {2000, 2000, 65535, 0, 0, 350, {0x8D, 0xAC, 0x1D, 0x4C, 0x40, 0x96, 0x9F, 0xFF}, 40},
    };
    for (const Case& c : cases) {
        PellionRig r;
        r.map.set(mainb::SHRMEM_MAX_OUTPUT_CURRENT, 60);
        r.map.set(SHRMEM_SET_V1, 4000);
        r.map.set(SHRMEM_SET_I1, 300);
        r.map.set(SHRMEM_SET_PENDING, 255);
        r.map.set(SHRMEM_CHADEMO_PRESENT_VOLTAGE, c.chademoPresent);
        r.map.set(SHRMEM_CHADEMO_TARGET_VOLTAGE, c.chademoTarget);
        r.map.set(SHRMEM_GET_V1, c.present);
        r.map.set(SHRMEM_SMR_VOLT_OVERRIDE, c.override);
        r.p.TotalAvaliableCurrent[0] = c.avail1;
        r.p.TotalAvaliableCurrent[1] = c.avail2;
        r.p.SetOutputVoltByPercentage(-1);
        ASSERT_EQ(r.bus.sent.size(), 1u);
        const CanFrame& f = r.bus.sent[0];
        EXPECT_EQ(FrameId(f), kSetPoint);
        EXPECT_EQ(std::vector<std::uint8_t>(f.data, f.data + 8), std::vector<std::uint8_t>(c.frame, c.frame + 8))
            << c.avail1 << " " << c.chademoPresent << " " << c.override;
        EXPECT_EQ(r.map.get(SHRMEM_SMR_CURRENT_LIMIT), c.limit);
        // The frame never clears a set-point that is armed meanwhile.
        EXPECT_EQ(r.map.get(SHRMEM_SET_PENDING), 255);
    }
}

TEST(PellionStatus, FaultReportsRaiseTheirAlarmAndLogOnce) {
    struct Case { std::uint32_t word; Bits alarm; const char* line; };
    const Case cases[] = {
        {0x00000203, ALARM_SMR_INPUT_OVP, "[Pellion][8526]main:#1 - Two lines outside range"},
        {0x00000201, ALARM_SMR_INPUT_OVP, "[Pellion][8464]main:#1 - SMR input voltage too high"},
        {0x00000200, ALARM_SMR_INPUT_UVP, "[Pellion][8433]main:#1 - SMR input voltage too low"},
        {0x00000300, ALARM_SMR_AMBIENT_OTP, "[Pellion][8579]main:#1 - Temporary OTP"},
        {0x00000301, ALARM_SMR_OUTPUT_OVP, "[Pellion][8610]main:#1 - Temporary OVP"},
        {0x00000402, ALARM_SMR_FAN, "[Pellion][8749]main:#1 - SMR latched by fan NG "},
        {0x00000501, ALARM_SMR_OUTPUT_OVP, "[Pellion][8848]main:#1 - SMR latched by OVP"},
        {0x00000503, ALARM_SMR_HARDWARE, "[Pellion][8906]main:#1 - SMR latched by hardware defect"},
        {0x00000606, ALARM_SMR_HARDWARE, "[Pellion][9135]main:#1 - SMR latched by output Fuse blown"},
    };
    for (const Case& c : cases) {
        PellionRig r;
        r.AddTwoModules();
        r.StartAndAssign();
        ModuleAt(r, 1).statusWord = c.word;
        // A module with a hardware defect says so in its heartbeat answer too;
        // an answer without it clears the hardware alarm.
        ModuleAt(r, 1).hardwareFault = c.alarm.offset == ALARM_SMR_HARDWARE.offset;
        r.RunFor(3500);
        EXPECT_TRUE(r.map.get(c.alarm)) << std::hex << c.word;
        const std::string log = r.Log();
        EXPECT_EQ(Count(log, c.line), 1) << std::hex << c.word << "\n" << log;
    }
}

TEST(PellionStatus, SeriousFaultLogsTheFirstActiveFlagOfEachStatusObject) {
    PellionRig r;
    r.AddTwoModules();
    r.StartAndAssign();
    modbank::SimModule& m = ModuleAt(r, 1);
    m.objects21[70][1] = 0x08;                      // bit 19
    m.objects21[100][1] = 0x18;                     // bits 3 and 4
    m.objects21[106][1] = 0x20;                     // bit 5
    m.statusWord = 0x00000505;
    r.RunFor(1500);
    const std::string log = r.Log();
    EXPECT_NE(log.find("[Pellion]GetGroup21:1 - SecondaryEventStatus_t(21.70)=0x0,0x8,0x0,0x0 - FanFail \n"),
              std::string::npos) << log;
    EXPECT_NE(log.find("[Pellion]GetGroup21:#1 - PrimaryFastStatus_t(21.100)=0x0,0x18 - AC_TOO_LOW \n"),
              std::string::npos) << log;
    EXPECT_NE(log.find("[Pellion]GetGroup21:#1 - PrimarySlowStatus_t(21.106)=0x0,0x20 - LLC_OK\n"),
              std::string::npos) << log;
    EXPECT_NE(log.find("[Pellion]GetGroup21:#1 - PrimaryFastStatus_t(21.115)=0x0,0x0 - OK\n"), std::string::npos)
        << log;
}

TEST(PellionStatus, StatusReadOfAModuleThatNeverAnswersIsBounded) {
    PellionRig r;
    r.AddTwoModules();
    r.StartAndAssign();
    // A report of a serious fault from a module that then falls silent.
    CanFrame f = MakeFrame(kStatusReport | KindBits(10) | 1, {0x8F, 0xA0, 0x40, 0x00, 0, 0, 0x05, 0x03});
    ModuleAt(r, 1).muted = true;
    const std::int64_t t0 = r.clock.MonotonicMs();
    r.p.Dispatch(f);
    EXPECT_LT(r.clock.MonotonicMs() - t0, 10000);
    EXPECT_TRUE(r.map.get(ALARM_SMR_HARDWARE));
}

TEST(PellionStatus, CategorySixCauseNineZeroesTheOutputWithoutALine) {
    PellionRig r;
    r.AddTwoModules();
    r.StartAndAssign();
    r.ArmSetPoint(4000, 300);
    r.RunFor(2000);
    ASSERT_NE(r.map.get(SHRMEM_GET_I1), 0);
    ModuleAt(r, 1).statusWord = 0x00000609;
    ModuleAt(r, 2).statusWord = 0x00000609;
    r.bank.loadOhms = 1e9;  // so the next readings do not bring the values back
    r.RunFor(1000);
    EXPECT_TRUE(r.map.get(ALARM_SMR_HARDWARE));
    EXPECT_EQ(r.map.get(SHRMEM_GET_V1), 0);
    EXPECT_EQ(Count(r.Log(), "main:#1 - SMR"), 0);
}

TEST(PellionStatus, HardwareAlarmClearsOnlyWithTheFaultyModulesHealthyAnswer) {
    PellionRig r;
    r.AddTwoModules();
    r.StartAndAssign();
    ModuleAt(r, 1).statusWord = 0x00000503;
    ModuleAt(r, 1).hardwareFault = 1;
    r.RunFor(12000);   // heartbeats of both modules, the second one healthy
    EXPECT_TRUE(r.map.get(ALARM_SMR_HARDWARE));
    ModuleAt(r, 1).statusWord = 0;
    ModuleAt(r, 1).hardwareFault = 0;
    r.RunFor(6000);
    EXPECT_FALSE(r.map.get(ALARM_SMR_HARDWARE));
    EXPECT_EQ(Count(r.Log(), "SMR latched by hardware defect"), 1);
}

TEST(PellionStatus, TemporaryAlarmsClearOnlyAfterBothModulesReportNoFault) {
    PellionRig r;
    r.AddTwoModules();
    r.StartAndAssign();
    ModuleAt(r, 1).statusWord = 0x00000300;
    ModuleAt(r, 2).statusWord = 0x00000300;
    r.RunFor(1500);
    ASSERT_TRUE(r.map.get(ALARM_SMR_AMBIENT_OTP));
    ModuleAt(r, 1).statusWord = 0;
    r.RunFor(1500);
    EXPECT_TRUE(r.map.get(ALARM_SMR_AMBIENT_OTP));
    ModuleAt(r, 2).statusWord = 0;
    r.RunFor(1500);
    EXPECT_FALSE(r.map.get(ALARM_SMR_AMBIENT_OTP));
}

TEST(PellionFrames, FramesOfModulesOutsideTheTableAreIgnored) {
    PellionRig r;
    r.bank.Add(0x0100, 1, 2, 3);
    r.StartAndAssign();
    r.map.set(SHRMEM_AC_CONTACTOR, 1);
    const std::uint32_t k = KindBits(10);
    // Address 2 and 7 are no modules of the table.
    for (unsigned a : {2u, 7u}) {
        r.p.Dispatch(MakeFrame(kStatusReport | k | a, {0x9F, 0xFF, 0x4F, 0xFF, 0, 0, 0x02, 0x03}));
        r.p.Dispatch(MakeFrame(kReply | kOutputAmp << 8 | k | a, {0x4F, 0xFF}));
        r.p.Dispatch(MakeFrame(kReply | kAvailable << 8 | k | a, {0x4F, 0xFF, 0x4F, 0xFF}));
    }
    EXPECT_FALSE(r.map.get(ALARM_SMR_INPUT_OVP));
    EXPECT_EQ(r.map.get(SHRMEM_GET_I1), 0);
    EXPECT_EQ(r.map.get(SHRMEM_SMR_AVAIL_CURRENT), 40);
    // Short replies of a table module change nothing either.
    r.p.Dispatch(MakeFrame(kReply | kOutputVolt << 8 | k | 1, {0x9F}));
    EXPECT_EQ(r.map.get(SHRMEM_RECTIFIER_OUTPUT_VOLT), 0);
}

TEST(PellionFrames, ASeventhFrameWaitsForTheNextPass) {
    PellionRig r;
    r.p.Startup();
    for (int i = 0; i < 7; ++i) r.bus.inbox.push_back(MakeFrame(0x12345678));
    r.p.LoopPass();
    EXPECT_EQ(r.bus.inbox.size(), 1u);
}

}  // namespace

namespace {

using namespace regmap;
using namespace smr;
using platform::CanFrame;

std::vector<std::uint8_t> Data(const CanFrame& f) { return std::vector<std::uint8_t>(f.data, f.data + f.len); }

TEST(PellionCommands, PerModuleSetPointAndMaximumFanSpeedFrames) {
    struct Case { std::uint8_t qty; std::uint16_t amps, power, chademoTarget, ccsTarget; std::vector<std::uint8_t> setPoint, maxFan; };
    const std::vector<Case> cases = {
        // 100 A over two modules is 50 A each, above 41.7 A: 417 is sent.
        {2, 1000, 150, 0, 0, {0x8F, 0xA0, 0x41, 0xA1, 0x40, 0x96, 0, 0}, {0, 0x21, 0x12, 0x34, 0x8F, 0xA0, 0, 0}},
        {1, 300, 9000, 0, 380, {0x8F, 0xA0, 0x41, 0x2C, 0x4F, 0xFF, 0, 0}, {0, 0x21, 0x12, 0x34, 0x8E, 0xD8, 0, 0}},
        {3, 600, 0, 410, 380, {0x8F, 0xA0, 0x40, 0xC8, 0x40, 0x00, 0, 0}, {0, 0x21, 0x12, 0x34, 0x90, 0x04, 0, 0}},
    };
    for (const Case& c : cases) {
        PellionRig r;
        r.map.set(SHRMEM_RECTIFIER_QTY, c.qty);
        r.map.set(SHRMEM_SET_V1, 4000);
        r.map.set(SHRMEM_SET_I1, c.amps);
        r.map.set(SHRMEM_SET_POWER, c.power);
        r.map.set(SHRMEM_CHADEMO_TARGET_VOLTAGE, c.chademoTarget);
        r.map.set(SHRMEM_CCS_EV_TARGET_VOLTAGE, c.ccsTarget);
        r.p.SetOutputVolt(-1);
        r.p.SetMaxFanRPM(-1, 0x121, 0x1234);
        ASSERT_EQ(r.bus.sent.size(), 2u);
        EXPECT_EQ(FrameId(r.bus.sent[0]), kSetOutputVolt);
        EXPECT_EQ(Data(r.bus.sent[0]), c.setPoint) << c.amps;
        EXPECT_EQ(FrameId(r.bus.sent[1]), kMaxFanSpeed);
        EXPECT_EQ(Data(r.bus.sent[1]), c.maxFan) << c.amps;
    }
}

TEST(PellionCommands, ResetIsNeverBroadcastAndReachesOnlyItsModule) {
    PellionRig r;
    r.AddTwoModules();
    r.StartAndAssign();
    r.p.ResetPCM(-1);
    r.p.ResetPCM(3);
    EXPECT_EQ(r.bank.modules[0].resets + r.bank.modules[1].resets, 0);
    r.p.ResetPCM(1);
    EXPECT_EQ(r.bank.ByAddress(2)->resets, 1);
    EXPECT_EQ(r.bank.ByAddress(1)->resets, 0);
}

TEST(PellionCommands, OutputPowerAndGroupOneReads) {
    PellionRig r;
    r.AddTwoModules();
    r.StartAndAssign();
    // The answer 0x88FC read in the power form is mantissa 2300, exponent 4:
    // 2,300,000, which bytes 9-10 hold as their largest value, not wrapped.
    EXPECT_EQ(r.p.GetOutputPower(0), 1);
    EXPECT_EQ(r.map.get(SHRMEM_GET_P1), 65535);
    EXPECT_EQ(r.p.GetOutputPower(2), 0);
    r.bank.ByAddress(1)->lifeTime = 1500;
    EXPECT_EQ(r.p.GetGroup1(0), 1);
    EXPECT_EQ(r.p.NodeLifeTime, 15);
    r.bank.ByAddress(1)->lifeTime = 0;   // no life time: the station keeps its own
    EXPECT_EQ(r.p.GetGroup1(0), 1);
    EXPECT_EQ(r.p.NodeLifeTime, 15);
    EXPECT_EQ(r.p.GetGroup2(1), 1);
    EXPECT_EQ(r.p.GetGroup3(1), 1);
    r.bank.ByAddress(2)->muted = true;
    EXPECT_EQ(r.p.GetGroup3(1), 0);
}

TEST(PellionLoop, PeriodicReadsFillTheMap) {
    PellionRig r;
    r.AddTwoModules();
    r.StartAndAssign();
    r.map.set(SHRMEM_SMR_INPUT_POLL, 1);
    r.map.set(U8{ALARM_SYSTEM_FILTER.offset}, ALARM_SYSTEM_FILTER.mask);
    r.bus.sent.clear();
    r.RunFor(62000);
    // Input voltages of both modules, 230 V each, every slot seen.
    for (unsigned i = 0; i < 6; ++i) EXPECT_EQ(r.map.get(SmrInputVolt(i)), 230) << i;
    EXPECT_EQ(r.map.get(SHRMEM_SMR_INPUT_SEEN), 0x3F);
    // Temperatures as the modules send them.
    EXPECT_EQ(r.map.bytes(SHRMEM_SMR_TEMP1)[0], 0x01);
    EXPECT_EQ(r.map.bytes(SHRMEM_SMR_TEMP1)[1], 42);
    EXPECT_EQ(r.map.bytes(SHRMEM_SMR_TEMP3)[1], 44);
    // The fan speeds are polled while the filter alarm stands.
    EXPECT_EQ(r.map.get(SHRMEM_FAN_SPEED1), 3200);
    EXPECT_EQ(r.map.get(SHRMEM_FAN_SPEED2), 3200);
    // Heartbeats to both addresses with the parameter CRC, every 5 s.
    const auto beats = r.bus.Sent(0xFFFFFFFF, kHeartbeat | 1);
    EXPECT_GE(beats.size(), 11u);
    EXPECT_LE(beats.size(), 13u);
    EXPECT_EQ(Be16(beats.at(0).data), r.map.get(SHRMEM_PARAM_CRC));
    EXPECT_EQ(r.bus.Sent(0xFFFFFFFF, kHeartbeat | 2).size(), beats.size());
}

TEST(PellionLoop, FanCommand) {
    for (bool outputUp : {true, false}) {
        PellionRig r;
        r.AddTwoModules();
        r.bank.loadOhms = 20.0;
        r.StartAndAssign();
        if (outputUp) {
            r.ArmSetPoint(4100, 300);
            r.RunFor(2000);
        }
        r.bus.sent.clear();
        r.map.set(SHRMEM_FAN_SPEED_VALUE, 0x40);
        r.map.set(SHRMEM_FAN_SPEED_CMD, 0x85);
        r.p.LoopPass();
        const auto fan = r.bus.Sent(0xFFFFFFFF, kFanSpeed | KindBits(10));
        if (outputUp) {
            ASSERT_EQ(fan.size(), 1u);
            EXPECT_EQ(Data(fan[0]), (std::vector<std::uint8_t>{0x85, 0x40}));
            EXPECT_EQ(r.map.get(SHRMEM_FAN_SPEED_CMD), 0x05);
        } else {
            // Below 40 V the modules are first brought to 50 V / 1 A.
            EXPECT_TRUE(fan.empty());
            EXPECT_EQ(r.map.get(SHRMEM_SET_V1), 500);
            EXPECT_EQ(r.map.get(SHRMEM_SET_I1), 10);
            EXPECT_EQ(r.map.get(SHRMEM_SET_PENDING), 255);
        }
    }
}

}  // namespace

namespace {

std::vector<std::uint8_t> SwitchCodes(const PellionRig& r) {
    std::vector<std::uint8_t> codes;
    for (const CanFrame& f : r.bus.Sent(0xFFFFFFFF, kSwitch | KindBits(10))) codes.push_back(f.data[0]);
    return codes;
}

// An address request, from a module that rebooted or from no module at all,
// starts a run that goes on across passes: the emergency stop pressed
// meanwhile is served within 100 ms, the old table works until the new one
// is complete, and a request no module follows up leaves the table as it was.
TEST(PellionAssignment, AnAddressRequestNeverHoldsTheLoop) {
    for (bool rebooted : {false, true}) {
        PellionRig r;
        r.ModulesOn();
        ASSERT_EQ(r.p.PCMOnOff, kOn);
        if (rebooted) {
            modbank::SimModule& m = ModuleAt(r, 1);
            m.address = 0;
            m.operational = false;
            r.bank.PowerUp();
        } else {
            CanFrame request{};
            request.can_id = 0x9B401000;   // class 0x0D, command 0x10, from nobody
            r.bus.inbox.push_back(request);
        }
        r.RunFor(1000);
        ASSERT_TRUE(r.p.Assigning()) << rebooted;
        EXPECT_EQ(r.p.SmrAddrMsn[0].state, 4) << rebooted;
        EXPECT_EQ(r.map.get(SHRMEM_RECTIFIER_QTY), 2) << rebooted;
        // The station presses the emergency stop; the session zeroes its set-point.
        r.bus.sent.clear();
        r.map.set(SHRMEM_STOP_BUTTON, 0x08);
        r.ArmSetPoint(0, 0);
        const std::int64_t pressed = r.clock.MonotonicMs();
        while (SwitchCodes(r).empty() && r.clock.MonotonicMs() - pressed < 1000) r.p.LoopPass();
        EXPECT_LE(r.clock.MonotonicMs() - pressed, 100) << rebooted;
        EXPECT_EQ(SwitchCodes(r), (std::vector<std::uint8_t>{kForcedOff, kForcedOff})) << rebooted;
        r.RunFor(6000);
        EXPECT_FALSE(r.p.Assigning()) << rebooted;
        EXPECT_EQ(r.p.SmrAddrMsn[0].state, 4) << rebooted;
        EXPECT_EQ(r.p.SmrAddrMsn[0].address, 1) << rebooted;
        if (rebooted) {
            EXPECT_TRUE(ModuleAt(r, 1).operational);
        } else {
            EXPECT_EQ(r.p.SmrAddrMsn[1].state, 4);
            EXPECT_EQ(r.map.get(SHRMEM_RECTIFIER_QTY), 2);
            EXPECT_NE(r.Log().find("Address request without a module answering: ignored"), std::string::npos)
                << r.Log();
            // Nothing asks the bank to start again.
            EXPECT_TRUE(r.bus.SentIds(0xFFFFFFFF, kAnnounce).empty());
        }
    }
}

// A frame that comes while the loop waits for another (an address request
// during an output-power read) is handled by the loop afterwards, not lost
// with the wait.
TEST(PellionAssignment, AnAddressRequestDuringAWaitIsNotLost) {
    PellionRig r;
    r.ModulesOn();
    CanFrame request{};
    request.can_id = 0x9B401000;
    r.bus.inbox.push_back(request);
    r.p.GetOutputPower(0);
    EXPECT_FALSE(r.p.Assigning());
    r.p.LoopPass();
    EXPECT_TRUE(r.p.Assigning());
    r.RunFor(6000);
    EXPECT_NE(r.Log().find("Address request without a module answering: ignored"), std::string::npos) << r.Log();
}

// The CHAdeMO session process holds the outlet's energy: when it is gone
// with the relay closed, the modules are switched off at the next pass, its
// set-point is emptied and the relay asked open; with the relay open the
// modules are left to the other outlet.
TEST(PellionSupervision, ADeadChademoSessionSwitchesTheOutletOff) {
    for (std::uint8_t relay : {0x03, 0x00}) {
        PellionRig r;
        bool alive = true;
        r.p.chademoAlive = [&] { return alive; };
        r.ModulesOn();
        r.map.set(SHRMEM_RECTIFIER2_RELAY, relay);
        r.bus.sent.clear();
        alive = false;
        r.p.LoopPass();
        if (relay) {
            EXPECT_EQ(SwitchCodes(r), (std::vector<std::uint8_t>{kOff, kOff}));
            EXPECT_EQ(r.p.PCMOnOff, kOff);
            EXPECT_EQ(r.map.get(SHRMEM_SET_V1), 0);
            EXPECT_EQ(r.map.get(SHRMEM_SET_I1), 0);
            EXPECT_EQ(r.map.get(SHRMEM_SET_PENDING), 0);
            EXPECT_EQ(r.map.get(SHRMEM_RECTIFIER2_RELAY), 0x80);
            r.RunFor(1000);
            EXPECT_EQ(r.map.get(SHRMEM_GET_I1), 0);
        } else {
            EXPECT_TRUE(SwitchCodes(r).empty());
            EXPECT_EQ(r.p.PCMOnOff, kOn);
            EXPECT_EQ(r.map.get(SHRMEM_RECTIFIER2_RELAY), 0);
        }
    }
}

// A bus that is gone: the off command does not leave, so the state does not
// say off; the alarm stands while the bus is gone (also when a session
// cleared it) and the command goes out once the bus is back.
TEST(PellionSupervision, OffThatDidNotLeaveIsNotOffAndIsSentOnceTheBusIsBack) {
    PellionRig r;
    r.ModulesOn();
    r.bus.down = true;
    r.ArmSetPoint(0, 0);
    r.RunFor(200);
    EXPECT_EQ(r.p.PCMOnOff, kOn);
    EXPECT_EQ(r.map.get(SHRMEM_PCM_ONOFF), kOn);
    EXPECT_TRUE(r.map.get(ALARM_SMR_COMM));
    SetBitsAtomic(r.map, ALARM_SMR_COMM, false);
    r.RunFor(100);
    EXPECT_TRUE(r.map.get(ALARM_SMR_COMM));
    r.bus.sent.clear();
    r.bus.down = false;
    r.RunFor(500);
    ASSERT_FALSE(SwitchCodes(r).empty());
    EXPECT_EQ(SwitchCodes(r).front(), kOff);
    EXPECT_EQ(r.p.PCMOnOff, kOff);
    EXPECT_EQ(r.map.get(SHRMEM_GET_I1), 0);
    EXPECT_FALSE(r.map.get(ALARM_SMR_COMM));
    const std::string log = r.Log();
    EXPECT_NE(log.find("can0 lost"), std::string::npos) << log;
    EXPECT_NE(log.find("can0 back"), std::string::npos) << log;
}

}  // namespace

namespace {

// The fan command's 50 V: posted once per request and only with every
// output relay open and no session holding the mailbox; modules that never
// come up end the request with a line and a zero set-point.
TEST(PellionLoop, FanCommandRunsTheModulesOnlyWhenNoOutletOrSessionCanGetIt) {
    struct Case {
        const char* name;
        std::uint8_t relay2783;
        bool session;
        bool modulesOff;     // the modules never come up (emergency stop held)
    };
    for (const Case c : {Case{"free", 0, false, false}, Case{"relay closed", 0x03, false, false},
                         Case{"session running", 0, true, false}, Case{"modules stay off", 0, false, true}}) {
        PellionRig r;
        bool session = c.session;
        r.p.chademoAlive = [&] { return session; };
        r.AddTwoModules();
        r.bank.loadOhms = 100.0;   // 1 A gives the 50 V
        r.StartAndAssign();
        r.ArmSetPoint(0, 0);
        r.RunFor(500);
        r.map.set(SHRMEM_RECTIFIER2_RELAY, c.relay2783);
        if (c.modulesOff) r.map.set(SHRMEM_STOP_BUTTON, 0x08);
        r.map.set(SHRMEM_FAN_SPEED_VALUE, 0x40);
        r.map.set(SHRMEM_FAN_SPEED_CMD, 0x85);
        int posts = 0;
        for (const std::int64_t end = r.clock.MonotonicMs() + 15000; r.clock.MonotonicMs() < end;) {
            r.p.LoopPass();
            if (r.map.get(SHRMEM_SET_PENDING) == 255 && r.map.get(SHRMEM_SET_V1) == 500) ++posts;
        }
        const auto fan = r.bus.Sent(0xFFFFFFFF, kFanSpeed | KindBits(10));
        const std::string log = r.Log();
        if (c.relay2783 || c.session) {
            EXPECT_EQ(posts, 0) << c.name;
            EXPECT_EQ(r.map.get(SHRMEM_SET_V1), 0) << c.name;
            EXPECT_TRUE(fan.empty()) << c.name;
            EXPECT_EQ(r.map.get(SHRMEM_FAN_SPEED_CMD), 0x85) << c.name;   // waits
        } else if (c.modulesOff) {
            EXPECT_EQ(posts, 1) << c.name;
            EXPECT_TRUE(fan.empty()) << c.name;
            EXPECT_EQ(r.map.get(SHRMEM_FAN_SPEED_CMD), 0x05) << c.name;
            EXPECT_EQ(r.map.get(SHRMEM_SET_V1), 0) << c.name;
            EXPECT_NE(log.find("did not reach 40 V; given up"), std::string::npos) << c.name << log;
        } else {
            EXPECT_EQ(posts, 1) << c.name;
            ASSERT_EQ(fan.size(), 1u) << c.name;
            EXPECT_EQ(Data(fan[0]), (std::vector<std::uint8_t>{0x85, 0x40})) << c.name;
        }
    }
}

}  // namespace

namespace {

// A wait inside a pass (here the status reads after a serious fault, of a
// module that then falls silent: seconds of object-access tries) never holds
// a stop: the zero set-point of a withdrawn permission and the emergency
// stop reach the modules within 100 ms, while a set-point that would switch
// them on waits for the loop.
TEST(PellionStatus, AStopIsServedWithinTheWaitsOfAPass) {
    struct Case { std::uint16_t volts; bool emergency; std::uint8_t code; };
    for (const Case c : {Case{0, false, kOff}, Case{4000, true, kForcedOff}, Case{4000, false, 0xFF}}) {
        PellionRig r;
        r.ModulesOn();
        ASSERT_EQ(r.p.PCMOnOff, kOn);
        ModuleAt(r, 1).muted = true;
        const std::int64_t t0 = r.clock.MonotonicMs();
        std::int64_t armedAt = -1, servedAt = -1;
        r.bus.onIdle = [&, idle = r.bus.onIdle] {
            idle();
            if (armedAt < 0 && r.clock.MonotonicMs() - t0 >= 1500) {
                if (c.emergency) r.map.set(SHRMEM_STOP_BUTTON, 0x08);
                r.ArmSetPoint(c.volts, 300);
                armedAt = r.clock.MonotonicMs();
            }
        };
        r.bus.onWrite = [&, write = r.bus.onWrite](const CanFrame& f) {
            write(f);
            if (servedAt < 0 && armedAt >= 0 && FrameId(f) == (kSwitch | KindBits(10))) servedAt = r.clock.MonotonicMs();
        };
        r.p.Dispatch(MakeFrame(kStatusReport | KindBits(10) | 1, {0x8F, 0xA0, 0x40, 0x00, 0, 0, 0x05, 0x03}));
        ASSERT_GE(armedAt, 0) << c.volts;
        ASSERT_GT(r.clock.MonotonicMs() - armedAt, 1000) << "the pass went on waiting";
        if (c.code == 0xFF) {
            EXPECT_LT(servedAt, 0);
            EXPECT_EQ(r.map.get(SHRMEM_SET_PENDING), 255);   // for the loop
        } else {
            ASSERT_GE(servedAt, 0) << c.volts;
            EXPECT_LE(servedAt - armedAt, 100) << c.volts;
            EXPECT_EQ(r.p.PCMOnOff, c.code);
        }
    }
}

}  // namespace
