// Whole CHAdeMO sessions of both protocol paths, in one process on the test
// clock: a vehicle and a station (controller, modules, the CAN I/O
// process's mirror) act on every sleep of the session as the real ones
// would, and the session must walk the vehicle from plug-in to plug-out.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "children.h"
#include "idle_child.h"
#include "command.h"
#include "regmap_fields.h"
#include "session.h"
#include "charger_frames.h"
#include "step_rig.h"

namespace {

using namespace regmap;
using chademo::Path;

class SilentBus final : public platform::CanBus {
public:
    bool Write(const platform::CanFrame&) override { return true; }
    bool Read(platform::CanFrame&) override { return false; }
};

struct Vehicle {
    std::uint8_t protocol = 2;
    std::uint16_t targetVolts = 400;
    int batteryVolts = 380;
    std::uint8_t request = 30;          // A, once its contactor is closed
    std::int64_t stopAt = 30000;        // ms after plug-in: the vehicle ends the charge
    bool early = false;                 // permission before its frames are seen
    bool neverEnables = false;
    std::int64_t silentAt = 0;          // ms: falls silent while charging
    std::int32_t limitTime = 600;       // s, the charging time limit
};

// The vehicle, the station controller, the modules and the CAN I/O
// process's part of the map, moved on every sleep of the session.
struct ChargeWorld : StepRig {
    explicit ChargeWorld(Vehicle v) : vehicle(v) {
        map.set(StartRecv, 0);
        map.set(EV102_STATUS, 0);
        lines.inputs[chademo::kGpioProximity] = [this] { return std::optional<char>(plugged ? '0' : '1'); };
        lines.inputs[chademo::kGpioJ] = [this] { return std::optional<char>(permission ? '0' : '1'); };
        permission = vehicle.early;
        map.set(SHRMEM_AVAILABLE_POWER, 50000);
        map.set(U8{2204}, 125);
        map.set(S16Le{21506}, static_cast<std::uint16_t>(-1));
        map.set(S32Le{21508}, -1);
        map.set(S16Le{21512}, 125);
        map.set(U8{21608}, 125);
        every = [this] { Step(); };
    }
    bool D(int line) { return lines.out.count(line) && lines.out[line] == '1'; }
    void Frames() {
        std::uint8_t* ev = map.bytes(EV102);
        ev[0] = vehicle.protocol;
        ev[1] = vehicle.targetVolts & 0xFF;
        ev[2] = vehicle.targetVolts >> 8;
        ev[3] = charging && contactorClosed ? vehicle.request : 0;
        std::uint8_t status = 0;
        if (enabled) status |= chademo::kEvChargingEnabled;
        if (!contactorClosed) status |= chademo::kEvContactorOpen;
        ev[5] = status;
        map.set(StartRecv, 7);
    }
    void Step() {
        const std::int64_t now = clock.ms;
        // The station controller: insulation test and relays.
        if (map.get(chademo::SHRMEM_CHADEMO_INSULATION_TEST) == 1) {
            if (!testAskedAt) testAskedAt = now;
            if (now - testAskedAt > 2000) map.set(chademo::SHRMEM_CHADEMO_INSULATION_TEST, 3);
        }
        for (std::uint32_t relay : {2782u, 2783u, 2784u}) {
            const std::uint8_t r = map.get(U8{relay});
            if (r & 0x80) map.set(U8{relay}, r & 0x03);
        }
        // The vehicle.
        if (sending) {
            if (!D(chademo::kGpioD1) && frameEnd == 0 && now > 2000) frameEnd = now + 500;
            if (frameEnd && now >= frameEnd) {
                sending = false;
                OrByteAtomic(map, ChargerFlag, kFramesLost);
                unplugAt = now + 1000;
            }
        }
        if (unplugAt && now >= unplugAt) plugged = false;
        if (sending && D(chademo::kGpioD1) && !stopped) {
            if (!enabled && now > 500 && !vehicle.neverEnables) enabled = permission = true;
            if (D(chademo::kGpioD2) && !contactorClosed && enabled) contactorClosed = true;
            if (contactorClosed && !charging && !stopped) charging = true;
        }
        if (charging && now >= vehicle.stopAt) {
            charging = false;
            enabled = false;
            stopped = true;
        }
        if (vehicle.silentAt && charging && now >= vehicle.silentAt && sending) {
            sending = false;
            unplugAt = now + 20000;
        }
        // The CAN I/O process: a vehicle silent for a second while d1 is on.
        if (!sending && !frameEnd && D(chademo::kGpioD1) && now - lastFrame > 1000 &&
            map.get(SHRMEM_STOP_CHARGING) == 0) {
            SetBitsAtomic(map, ALARM_CHADEMO_COMM, true);
            map.set(SHRMEM_STOP_CHARGING, kStopCanTimeout);
        }
        if (!sending && !frameEnd && now - lastFrame > 1100) OrByteAtomic(map, ChargerFlag, kFramesLost);
        // A charger that drops d2 ends the charge too.
        if (contactorClosed && !D(chademo::kGpioD2)) charging = false, enabled = false, stopped = true;
        // Current falls once the vehicle stopped; then it lets go.
        if (stopped && map.get(SHRMEM_GET_I1) < 50) {
            permission = false;
            contactorClosed = false;
        }
        // The vehicle's frames come every 100 ms; the CAN I/O process
        // copies each and follows its current request.
        const bool frame = sending && now - lastFrame >= 100;
        if (frame) {
            lastFrame = now;
            Frames();
        }
        // What the frame computation leaves: the threshold and the time limit.
        if (map.get(StartRecv) == 7 && map.get(LIMIT_VOLT) == 0) {
            map.set(LIMIT_VOLT, 410);
            map.set(LIMIT_TIME, vehicle.limitTime);
            map.set(CP108_AVAILABLE_CURRENT, announced);
        }
        // The CAN I/O process follows the request; the modules deliver it.
        if ((map.get(ChargerFlag) & kFollowRequest) && frame) {
            map.set(SHRMEM_SET_I1, chademo::CappedRequest(map, map.get(EV102_CURRENT_REQUEST) * 10));
            map.set(SHRMEM_SET_PENDING, 255);
        }
        if (firstCurrent == 0 && map.get(SHRMEM_SET_I1) > 10) firstCurrent = map.get(SHRMEM_SET_I1);
        const bool delivering = contactorClosed && charging && map.get(SHRMEM_SET_V1) > 0;
        map.set(SHRMEM_GET_I1, static_cast<std::uint16_t>(delivering ? map.get(SHRMEM_SET_I1) : 0));
        map.set(SHRMEM_GET_V1, static_cast<std::uint16_t>(contactorClosed ? vehicle.batteryVolts * 10
                                                          : now < stuckUntil && everDelivered ? stuckTenths : 0));
        map.set(SHRMEM_CHADEMO_PRESENT_VOLTAGE, static_cast<std::uint16_t>(map.get(SHRMEM_GET_V1) / 10));
        map.set(SHRMEM_CHADEMO_LOW_CURRENT, map.get(SHRMEM_GET_I1) < 60 ? 1 : 0);
        if (delivering) everDelivered = true;
    }
    chademo::Session Make() {
        return chademo::Session({map, log, signals, bus, runner, [this] { return canIo = StartIdleChild(); }});
    }
    Vehicle vehicle;
    SilentBus bus;
    platform::RecordingRunner runner;
    pid_t canIo = 0;
    bool plugged = true, sending = true, enabled = false, contactorClosed = false, charging = false,
         stopped = false, everDelivered = false;
    std::int64_t lastFrame = -1000, testAskedAt = 0, frameEnd = 0, unplugAt = 0;
    int firstCurrent = 0;
    std::uint8_t announced = 125;   // A, 0x108's available current
    // An output that does not discharge after the charge: this voltage
    // (0.1 V) until then.
    std::int64_t stuckUntil = 0;
    std::uint16_t stuckTenths = 0;
};

bool Reaped(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD; }

TEST(ChademoCharge, BothPathsChargeToANormalEnd) {
    struct Case {
        std::uint8_t protocol;
        std::uint16_t targetVolts;
        std::uint16_t voltageSetPoint;
        const char* limitLine;
    };
    const Case cases[] = {
        {1, 400, 4000, ""},
        {2, 400, 4000, ""},
        {0, 40, 500, "[v0.9][3179] Voltage command(40V) reaches lower limit(50V)"},
        {3, 520, 5000, "[v1.2][4208] Voltage command(520V) reaches higher limit(500V)"},
    };
    for (const Case& c : cases) {
        Vehicle v;
        v.protocol = c.protocol;
        v.targetVolts = c.targetVolts;
        ChargeWorld w(v);
        std::uint16_t voltageSeen = 0;
        auto step = w.every;
        w.every = [&] {
            step();
            if (w.charging) voltageSeen = std::max<std::uint16_t>(voltageSeen, w.map.get(SHRMEM_SET_V1));
        };
        chademo::Session s = w.Make();
        EXPECT_EQ(s.Run(), c.protocol <= 1 ? Path::V09 : Path::V1x);
        const std::string log = w.Log();
        const std::string name = "protocol " + std::to_string(c.protocol);
        EXPECT_TRUE(w.everDelivered) << name << log;
        EXPECT_EQ(w.firstCurrent, 310) << name;   // 30 A asked: 31.0 A
        EXPECT_EQ(voltageSeen, c.voltageSetPoint) << name;
        if (*c.limitLine) { EXPECT_NE(log.find(c.limitLine), std::string::npos) << name << log; }
        // Nothing went wrong on the way.
        for (const char* code : {"[02805]", "[02909]", "[03746]", "[03072]", "[04153]", "[03147]", "[04478]",
                                 "[03453]", "[04728]", "[04678]", "[04583]", "[00681]", "[00983]"})
            EXPECT_EQ(log.find(code), std::string::npos) << name << " " << code << log;
        // The final end: everything off and open, the child gone.
        EXPECT_TRUE(Reaped(w.canIo)) << name;
        EXPECT_EQ(w.map.get(SHRMEM_SET_V1), 0) << name;
        EXPECT_EQ(w.map.get(SHRMEM_SET_I1), 1250) << name;
        EXPECT_EQ(w.map.get(SHRMEM_SET_PENDING), 255) << name;
        EXPECT_EQ(w.Out(chademo::kGpioD1), '0') << name;
        EXPECT_EQ(w.Out(chademo::kGpioD2), '0') << name;
        EXPECT_EQ(w.Out(chademo::kGpioLock), '0') << name;
        EXPECT_EQ(w.map.get(U8{2783}), 0) << name;
        EXPECT_EQ(w.map.get(U8{323}) & 0xC0, 0) << name;
        EXPECT_EQ(w.map.get(U8{21521}), 0) << name;
        EXPECT_EQ(w.map.get(chademo::SHRMEM_CHADEMO_CAN_AFTER_END), 0) << name;
        EXPECT_EQ(w.map.get(U8{2049 + 57}) & kSessionEnded, kSessionEnded) << name;
        EXPECT_FALSE(w.plugged) << name;
        EXPECT_LT(w.clock.ms, 90000) << name;
    }
}

}  // namespace

namespace {

TEST(ChademoCharge, FaultEndsReachTheFinalEnd) {
    struct Case {
        const char* name;
        Vehicle vehicle;
        Path path;
        const char* line;       // a line the end must have written
        std::vector<Bits> alarms;
        std::uint8_t stopReason;
        bool delivered;
    };
    auto v = [](std::uint8_t protocol, auto change) {
        Vehicle x;
        x.protocol = protocol;
        change(x);
        return x;
    };
    const Case cases[] = {
        {"1.x permission before frames", v(2, [](Vehicle& x) { x.early = true; }), Path::V1x, "[03569]",
         {{312, 0x80}, {21517, 0x20}}, 0, false},
        {"0.9 permission before frames is no fault", v(1, [](Vehicle& x) { x.early = true; }), Path::V09, "",
         {}, 0, true},
        {"0.9 charging never enabled", v(1, [](Vehicle& x) { x.neverEnables = true; }), Path::V09, "[02909]",
         {{21518, 0x04}}, 0, false},
        {"1.x charging never enabled", v(2, [](Vehicle& x) { x.neverEnables = true; }), Path::V1x, "[03746]",
         {{21518, 0x04}}, 0, false},
        {"1.x over-voltage", v(2, [](Vehicle& x) { x.batteryVolts = 416; }), Path::V1x, "[01685]",
         {{21517, 0x10}}, 0, true},
        {"0.9 over-voltage", v(0, [](Vehicle& x) { x.batteryVolts = 416; }), Path::V09, "[01369]",
         {{21517, 0x10}}, 0, true},
        {"1.x time up", v(2, [](Vehicle& x) { x.limitTime = 20, x.stopAt = 999999; }), Path::V1x,
         "[1723] Charging time is up", {{340, 0x10}}, 5, true},
        {"0.9 time up", v(1, [](Vehicle& x) { x.limitTime = 20, x.stopAt = 999999; }), Path::V09, "",
         {{340, 0x10}}, 5, true},
        {"0.9 CAN silence", v(1, [](Vehicle& x) { x.silentAt = 15000; }), Path::V09,
         "CH_SUB_04:SHRMEM_STOP_CHARGING=0xc", {{312, 0x80}}, kStopCanTimeout, true},
        {"1.x CAN silence", v(2, [](Vehicle& x) { x.silentAt = 15000; }), Path::V1x,
         "CH_SUB_06:SHRMEM_STOP_CHARGING=0xc", {{312, 0x80}}, kStopCanTimeout, true},
    };
    for (const Case& c : cases) {
        ChargeWorld w(c.vehicle);
        chademo::Session s = w.Make();
        EXPECT_EQ(s.Run(), c.path) << c.name;
        const std::string log = w.Log();
        if (*c.line) { EXPECT_NE(log.find(c.line), std::string::npos) << c.name << log; }
        for (Bits b : c.alarms) EXPECT_TRUE(w.map.get(b)) << c.name << " " << b.offset;
        EXPECT_EQ(w.map.get(SHRMEM_STOP_CHARGING), c.stopReason) << c.name;
        EXPECT_EQ(w.everDelivered, c.delivered) << c.name;
        EXPECT_TRUE(Reaped(w.canIo)) << c.name;
        EXPECT_EQ(w.map.get(SHRMEM_SET_I1), 1250) << c.name;
        EXPECT_EQ(w.Out(chademo::kGpioD1), '0') << c.name;
        EXPECT_NE(w.Out(chademo::kGpioD2), '1') << c.name;
        EXPECT_NE(w.Out(chademo::kGpioLock), '1') << c.name;
        EXPECT_LT(w.clock.ms, 120000) << c.name;
    }
}

}  // namespace

namespace {

// The connector holds the vehicle as long as the output is live, on either
// path, however long the output takes to fall; the end then goes on.
TEST(ChademoCharge, TheConnectorIsNeverUnlockedOnALiveOutput) {
    for (std::uint8_t protocol : {1, 2}) {
        Vehicle v;
        v.protocol = protocol;
        ChargeWorld w(v);
        w.stuckUntil = 90000;
        w.stuckTenths = 150;    // 15 V
        bool locked = false;
        std::int64_t unlockedAt = 0;
        std::uint16_t voltsAtUnlock = 0;
        auto step = w.every;
        w.every = [&] {
            step();
            if (w.Out(chademo::kGpioLock) == '1') locked = true;
            else if (locked && !unlockedAt) unlockedAt = w.clock.ms, voltsAtUnlock = w.map.get(SHRMEM_GET_V1);
        };
        chademo::Session s = w.Make();
        s.Run();
        const std::string name = "protocol " + std::to_string(protocol);
        ASSERT_TRUE(locked) << name;
        EXPECT_GE(unlockedAt, 90000) << name;
        EXPECT_LE(voltsAtUnlock, 100) << name;
        // The live output is reported once.
        const std::string log = w.Log();
        EXPECT_TRUE(w.map.get(Bits{21517, 0x04})) << name;
        EXPECT_NE(log.find("Vehicle voltage error - Output voltage(15V) > 10V after charging"), std::string::npos)
            << name << log;
        EXPECT_FALSE(w.plugged) << name;
    }
}

// A vehicle asking more than the charger announces never gets it into the
// mailbox: the set-point stays at the announced current on both paths, and
// the vehicle's over-request still ends the charge.
TEST(ChademoCharge, ARequestAboveTheAnnouncedCurrentIsCappedBeforeTheMailbox) {
    for (std::uint8_t protocol : {1, 2}) {
        Vehicle v;
        v.protocol = protocol;
        v.request = 200;
        ChargeWorld w(v);
        w.announced = 69;
        std::uint16_t most = 0;
        auto step = w.every;
        w.every = [&] {
            step();
            most = std::max<std::uint16_t>(most, w.map.get(SHRMEM_SET_I1) == 1250 ? 0 : w.map.get(SHRMEM_SET_I1));
        };
        chademo::Session s = w.Make();
        s.Run();
        const std::string name = "protocol " + std::to_string(protocol);
        EXPECT_EQ(w.firstCurrent, 690) << name;
        EXPECT_LE(most, 690) << name;
        EXPECT_FALSE(w.plugged) << name;
    }
}

// A 1.x vehicle that falls silent while charging says nothing more about its
// contactor: d1 and d2 go off with the stop, not after the contactor wait.
TEST(ChademoCharge, ASilentVehicleLosesItsSignalsWithTheStop) {
    Vehicle v;
    v.protocol = 2;
    v.silentAt = 15000;
    ChargeWorld w(v);
    std::int64_t d2OffAt = 0;
    auto step = w.every;
    w.every = [&] {
        step();
        if (!d2OffAt && w.clock.ms > 15000 && w.Out(chademo::kGpioD2) != '1') d2OffAt = w.clock.ms;
    };
    chademo::Session s = w.Make();
    EXPECT_EQ(s.Run(), Path::V1x);
    EXPECT_EQ(w.map.get(SHRMEM_STOP_CHARGING), kStopCanTimeout);
    ASSERT_GT(d2OffAt, 0);
    // Silent at 15 s, the time-out after 1 s more, then the stop: well
    // before the 10 s the contactor wait would take.
    EXPECT_LT(d2OffAt, 15000 + 4000);
}

}  // namespace
