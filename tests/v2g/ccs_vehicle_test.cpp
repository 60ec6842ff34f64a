// The simulated CCS vehicle: its checks against a scripted station that
// answers each request from the request's own records (a fault put into one
// answer must stop the vehicle with its reason), and the whole sequence
// against the station's V2G session in this process.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "IF_Main.h"
#include "appHand_DataDeserialization.h"
#include "appHand_dataSerialization.h"
#include "ccs_vehicle.h"
#include "clock.h"
#include "din_binding.h"
#include "regmap.h"
#include "regmap_fields.h"
#include "session_channel.h"
#include "v2g_session.h"

namespace {

using evsim::Bytes;
using evsim::Msg;

Bytes Frame(const std::uint8_t* exi, std::uint32_t n) {
    Bytes m(8 + n);
    const std::uint8_t h[8] = {0x01, 0xFE, 0x80, 0x01, static_cast<std::uint8_t>(n >> 24),
                               static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
                               static_cast<std::uint8_t>(n)};
    std::memcpy(m.data(), h, 8);
    std::memcpy(m.data() + 8, exi, n);
    return m;
}

void Phys(PhysicalValueType* v, std::int8_t m, std::int32_t unit, std::int16_t value) {
    *v = PhysicalValueType{m, unit, value, 1};
}

void DcStatus(DC_EVSEStatusType* s, std::int32_t isolation = 1) {
    *s = DC_EVSEStatusType{isolation, 1, 100, 0, 1};
}

// A station written for the test: a correct answer to each request, which a
// case may change before it is encoded.
struct ScriptedStation final : evsim::V2gChannel {
    std::function<void(Msg, DinMessageStore&)> spoil;  // changes the answer to one request
    std::uint32_t handshakeCode = 0;
    bool closeAfterStop = true;
    int cableChecksOngoing = 2;
    std::uint8_t id[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    std::vector<Msg> seen;
    std::deque<Bytes> answers;
    bool stopped = false;
    int presentVoltage = 0;
    int presentCurrent = 0;

    std::unique_ptr<DinMessageStore> store = std::make_unique<DinMessageStore>();
    EXIDocumentType doc{};
    std::unique_ptr<DinService> service = std::make_unique<DinService>();

    bool Send(const Bytes& m, std::size_t) override {
        if (seen.empty()) {
            seen.push_back(Msg::SupportedAppProtocol);
            AnonType_supportedAppProtocolRes res{handshakeCode, 1, kSchemaIdUsed};
            EXIDocumentType_appHand d{nullptr, &res, kAppHandResPresent};
            appHandService hs;
            std::uint8_t bytes[64];
            std::uint32_t chars[64];
            std::uint8_t buf[100] = {};
            std::uint32_t len = 0;
            init_appHandSerializer(&hs, 64, bytes, 0, 64, chars, 0, sizeof buf, 8);
            EXPECT_EQ(serialize_appHand(&hs, buf, &len, &d), 0);
            answers.push_back(Frame(buf + 8, len));
            return true;
        }
        dinInitDocument(&doc, store.get());
        dinInitService(service.get(), &doc);
        Bytes in = m;
        if (dinDeserializeMessage(service.get(), in.data(), static_cast<std::uint32_t>(in.size() - 8), 8) != 0) {
            ADD_FAILURE() << "the vehicle's request does not decode";
            return false;
        }
        std::uint64_t used = doc.V2G_Message.Body.isUsed;
        int pair = 0;
        while (pair < 17 && !(used & (std::uint64_t{1} << (2 * pair)))) ++pair;
        Msg msg = Answer(pair);
        seen.push_back(msg);
        std::memcpy(store->header.SessionID.bytes, id, 8);
        store->header.SessionID.bytesLen = 8;
        store->header.isUsed = 0;
        if (spoil) spoil(msg, *store);
        doc.V2G_Message.Body.isUsed = std::uint64_t{1} << (2 * pair + 1);
        std::uint8_t buf[512];
        std::uint32_t len = 0;
        EXPECT_EQ(dinSerializeMessage(service.get(), buf, sizeof buf, 8, &len), 0);
        answers.push_back(Frame(buf + 8, len));
        return true;
    }

    Rx Receive(Bytes* m, std::int64_t) override {
        if (!answers.empty()) {
            *m = answers.front();
            answers.pop_front();
            return Rx::Message;
        }
        return stopped && closeAfterStop ? Rx::Closed : Rx::TimedOut;
    }

    // Fills the correct answer; the message it answers.
    Msg Answer(int pair) {
        DinMessageStore& s = *store;
        switch (pair) {
        case 0:
            s.sessionSetupRes = SessionSetupResType{1, {6, {0x02, 0, 0, 0x5A, 0, 1}}, 0, 0};
            return Msg::SessionSetup;
        case 1: {
            auto& r = s.serviceDiscoveryRes;
            r.PaymentOptions.PaymentOption.arrayLen = 1;
            r.PaymentOptions.PaymentOption.array[0] = 1;
            r.ChargeService.ServiceTag.ServiceID = 1;
            r.ChargeService.FreeService = 1;
            r.ChargeService.EnergyTransferType = 3;
            return Msg::ServiceDiscovery;
        }
        case 3: return Msg::ServicePaymentSelection;
        case 5: return Msg::ContractAuthentication;
        case 6: {
            auto& r = s.chargeParameterDiscoveryRes;
            r.isUsed = 0x2;
            auto& p = s.dcEVSEChargeParameter;
            DcStatus(&p.DC_EVSEStatus);
            Phys(&p.EVSEMaximumCurrentLimit, 0, 3, 125);
            Phys(&p.EVSEMaximumPowerLimit, 3, 7, 50);
            Phys(&p.EVSEMaximumVoltageLimit, 0, 5, 500);
            Phys(&p.EVSEMinimumCurrentLimit, 0, 3, 0);
            Phys(&p.EVSEMinimumVoltageLimit, 0, 5, 50);
            Phys(&p.EVSEPeakCurrentRipple, -1, 3, 1);
            p.isUsed = 0x1;
            auto& t = r.SAScheduleList.SAScheduleTuple;
            t.arrayLen = 1;
            t.array[0].SAScheduleTupleID = 10;
            t.array[0].PMaxSchedule.PMaxScheduleID = 20;
            t.array[0].PMaxSchedule.PMaxScheduleEntry.arrayLen = 1;
            t.array[0].PMaxSchedule.PMaxScheduleEntry.array[0].PMax = 20000;
            return Msg::ChargeParameterDiscovery;
        }
        case 13:
            DcStatus(&s.cableCheckRes.DC_EVSEStatus, cableChecksOngoing > 0 ? 0 : 1);
            s.cableCheckRes.EVSEProcessing = cableChecksOngoing-- > 0 ? 1 : 0;
            return Msg::CableCheck;
        case 14: {
            auto& q = s.preChargeReq;
            presentVoltage = q.EVTargetVoltage.Value / 10;
            DcStatus(&s.preChargeRes.DC_EVSEStatus);
            Phys(&s.preChargeRes.EVSEPresentVoltage, 0, 5, static_cast<std::int16_t>(presentVoltage));
            return Msg::PreCharge;
        }
        case 7:
            s.powerDeliveryRes.isUsed = 0x2;
            DcStatus(&s.dcEVSEStatus);
            if (s.powerDeliveryReq.ReadyToChargeState == 0) presentVoltage = presentCurrent = 0;
            return Msg::PowerDelivery;
        case 15: {
            auto& q = s.currentDemandReq;
            auto& r = s.currentDemandRes;
            presentCurrent = q.EVTargetCurrent.Value;
            DcStatus(&r.DC_EVSEStatus);
            Phys(&r.EVSEPresentVoltage, 0, 5, static_cast<std::int16_t>(presentVoltage));
            Phys(&r.EVSEPresentCurrent, 0, 3, static_cast<std::int16_t>(presentCurrent));
            Phys(&r.EVSEMaximumVoltageLimit, 0, 5, 500);
            Phys(&r.EVSEMaximumCurrentLimit, 0, 3, 125);
            Phys(&r.EVSEMaximumPowerLimit, 3, 7, 50);
            r.isUsed = 0x7;
            return Msg::CurrentDemand;
        }
        case 16:
            DcStatus(&s.weldingDetectionRes.DC_EVSEStatus);
            Phys(&s.weldingDetectionRes.EVSEPresentVoltage, 0, 5, static_cast<std::int16_t>(presentVoltage));
            return Msg::WeldingDetection;
        case 10: stopped = true; return Msg::SessionStop;
        default: ADD_FAILURE() << "unexpected request " << pair; return Msg::None;
        }
    }
};

evsim::CcsEvConfig QuickConfig() {
    evsim::CcsEvConfig c;
    c.demands = 3;
    c.gapMs = 10;
    return c;
}

struct RunResult {
    bool ok = false;
    std::string failure;
    std::vector<std::string> lines;
};

RunResult RunAgainst(evsim::V2gChannel* channel, const evsim::CcsEvConfig& c) {
    RunResult r;
    evsim::CcsVehicle ev(c, channel, [&](const std::string& l) { r.lines.push_back(l); });
    r.ok = ev.Run();
    r.failure = ev.failure();
    return r;
}

class VehicleChecks : public ::testing::Test {
protected:
    platform::TestClock clock;
    platform::ScopedClock scoped{clock};
};

TEST_F(VehicleChecks, ChargesThroughTheWholeSequenceNamingEachMessage) {
    ScriptedStation station;
    RunResult r = RunAgainst(&station, QuickConfig());
    ASSERT_TRUE(r.ok) << r.failure;
    const std::vector<Msg> want = {Msg::SupportedAppProtocol, Msg::SessionSetup, Msg::ServiceDiscovery,
                                   Msg::ServicePaymentSelection, Msg::ContractAuthentication,
                                   Msg::ChargeParameterDiscovery, Msg::CableCheck, Msg::CableCheck, Msg::CableCheck,
                                   Msg::PreCharge, Msg::PowerDelivery, Msg::CurrentDemand, Msg::CurrentDemand,
                                   Msg::CurrentDemand, Msg::PowerDelivery, Msg::WeldingDetection, Msg::SessionStop};
    EXPECT_EQ(station.seen, want);
    std::string all;
    for (const auto& l : r.lines) all += l + "\n";
    for (const char* name : {"supportedAppProtocolReq", "SessionSetupReq", "ServiceDiscoveryReq",
                             "ServicePaymentSelectionReq", "ContractAuthenticationReq", "ChargeParameterDiscoveryReq",
                             "CableCheckReq", "PreChargeReq", "PowerDeliveryReq", "CurrentDemandReq",
                             "WeldingDetectionReq", "SessionStopReq"})
        EXPECT_NE(all.find(std::string("CcsEv: ") + name + " -> "), std::string::npos) << name << "\n" << all;
}

// Each case spoils one answer; the vehicle must stop there with the reason.
TEST_F(VehicleChecks, RefusesEachFaultyAnswerWithItsReason) {
    struct Case {
        const char* name;
        std::function<void(ScriptedStation&)> set;
        const char* reason;
    };
    auto on = [](Msg which, std::function<void(DinMessageStore&)> f) {
        return [which, f](ScriptedStation& st) {
            st.spoil = [which, f](Msg m, DinMessageStore& s) {
                if (m == which) f(s);
            };
        };
    };
    const Case cases[] = {
        {"no negotiation", [](ScriptedStation& s) { s.handshakeCode = 2; }, "not agreed"},
        {"session ID of 4 bytes", on(Msg::SessionSetup, [](DinMessageStore& s) { s.header.SessionID.bytesLen = 4; }),
         "not 8 bytes"},
        {"another session's ID later",
         on(Msg::ServicePaymentSelection, [](DinMessageStore& s) { s.header.SessionID.bytes[7] ^= 1; }),
         "carries session ID"},
        {"failed set-up", on(Msg::ServiceDiscovery, [](DinMessageStore& s) { s.serviceDiscoveryRes.ResponseCode = 4; }),
         "answers FAILED, expected OK"},
        {"no external payment",
         on(Msg::ServiceDiscovery, [](DinMessageStore& s) { s.serviceDiscoveryRes.PaymentOptions.PaymentOption.array[0] = 0; }),
         "no ExternalPayment"},
        {"AC only", on(Msg::ServiceDiscovery,
                       [](DinMessageStore& s) { s.serviceDiscoveryRes.ChargeService.EnergyTransferType = 1; }),
         "no DC energy transfer"},
        {"AC parameters",
         on(Msg::ChargeParameterDiscovery, [](DinMessageStore& s) { s.chargeParameterDiscoveryRes.isUsed = 0x1; }),
         "no DC parameters"},
        {"current limit in volts",
         on(Msg::ChargeParameterDiscovery, [](DinMessageStore& s) { s.dcEVSEChargeParameter.EVSEMaximumCurrentLimit.Unit = 5; }),
         "EVSEMaximumCurrentLimit comes in unit 5"},
        {"minimum above maximum",
         on(Msg::ChargeParameterDiscovery,
            [](DinMessageStore& s) { s.dcEVSEChargeParameter.EVSEMinimumVoltageLimit.Value = 600; }),
         "minimum limits lie above"},
        {"cable check without isolation result",
         on(Msg::CableCheck,
            [](DinMessageStore& s) {
                s.cableCheckRes.EVSEProcessing = 0;
                s.cableCheckRes.DC_EVSEStatus.isUsed = 0;
            }),
         "without a valid isolation result"},
        {"emergency shutdown",
         on(Msg::PreCharge, [](DinMessageStore& s) { s.preChargeRes.DC_EVSEStatus.EVSEStatusCode = 5; }),
         "EVSE_EmergencyShutdown"},
        {"overcurrent",
         on(Msg::CurrentDemand, [](DinMessageStore& s) { s.currentDemandRes.EVSEPresentCurrent.Value = 120; }),
         "delivers 120 A over the target"},
        {"power flag against the values",
         on(Msg::CurrentDemand, [](DinMessageStore& s) { s.currentDemandRes.EVSEPowerLimitAchieved = 1; }),
         "EVSEPowerLimitAchieved is true at 40000 against 50000"},
        {"current in kilowatts",
         on(Msg::CurrentDemand, [](DinMessageStore& s) { s.currentDemandRes.EVSEPresentCurrent.Unit = 7; }),
         "EVSEPresentCurrent comes in unit 7"},
        {"power delivery with AC status",
         on(Msg::PowerDelivery, [](DinMessageStore& s) { s.powerDeliveryRes.isUsed = 0x1; }), "no DC_EVSEStatus alone"},
        {"no close after SessionStop", [](ScriptedStation& s) { s.closeAfterStop = false; },
         "did not close the connection"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedStation station;
        c.set(station);
        RunResult r = RunAgainst(&station, QuickConfig());
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.failure.find(c.reason), std::string::npos) << r.failure;
    }
}

TEST_F(VehicleChecks, WaitsOutTheCableCheckAndGivesUpAtItsLimit) {
    ScriptedStation station;
    station.cableChecksOngoing = 1000;
    evsim::CcsEvConfig c = QuickConfig();
    c.loopLimitMs = 500;
    c.gapMs = 100;
    std::int64_t start = clock.MonotonicMs();
    RunResult r = RunAgainst(&station, c);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.failure.find("CableCheck still not done after 500 ms"), std::string::npos) << r.failure;
    EXPECT_EQ(clock.MonotonicMs() - start, 500);
}

// ------------------------------------------------ against the station's session

namespace session {

using namespace regmap;

class VehicleSession : public ::testing::Test {
protected:
    RunResult Charge(const evsim::CcsEvConfig& c) {
        evsim::SessionChannel channel(station.bytes.data());
        channel.beforeRequest = [this] {
            Note();
            beforeLast = station.bytes;
            station.Work();
        };
        RunResult r = RunAgainst(&channel, c);
        Note();
        for (const auto& l : r.lines) all += l + "\n";
        return r;
    }
    // How often the session answered the request with this code.
    int Count(const std::string& answer) const {
        int n = 0;
        for (std::size_t at = all.find(answer); at != std::string::npos; at = all.find(answer, at + 1)) ++n;
        return n;
    }

    // The status word's steps as the requests pass, each change once.
    void Note() {
        if ((plc::nSystemStatus >> 24) != 0x06) return;
        int step = static_cast<int>(plc::nSystemStatus >> 16 & 0xFF);
        if (steps.empty() || steps.back() != step) steps.push_back(step);
    }

    platform::TestClock clock;
    platform::ScopedClock scoped{clock};
    std::vector<int> steps;
    evsim::SimpleStation station;
    std::vector<std::uint8_t> beforeLast;  // the map as the last request came
    std::string all;
};

TEST_F(VehicleSession, ChargesToSessionStopAndClearsItsValuesAtTheEnd) {
    evsim::CcsEvConfig c = QuickConfig();
    c.demands = 5;
    RunResult r = Charge(c);
    ASSERT_TRUE(r.ok) << r.failure << "\n" << all;
    // When SessionStop came the map held what the last requests carried,
    // with the targets and the ready flag gone since the stop.
    const RegisterMap before(beforeLast.data());
    EXPECT_EQ(before.get(SHRMEM_CCS_EV_TARGET_VOLTAGE), 0);
    EXPECT_EQ(before.get(SHRMEM_CCS_EV_TARGET_CURRENT), 0);
    EXPECT_EQ(before.get(SHRMEM_CCS_EV_READY_TO_CHARGE), 0);
    EXPECT_EQ(before.get(SHRMEM_CCS_EV_SOC), 45);
    EXPECT_EQ(before.get(SHRMEM_CCS_EV_MAX_CURRENT), 125);
    EXPECT_EQ(before.get(SHRMEM_CCS_EV_MAX_VOLTAGE), 450);
    EXPECT_EQ(before.get(SHRMEM_CCS_EV_MAX_POWER), 50);
    EXPECT_EQ(before.get(SHRMEM_CCS_EV_CHARGING_COMPLETE), 1);
    EXPECT_EQ(before.get(SHRMEM_CCS_EV_TIME_TO_FULL), (100 - 44) * 60);
    // The session's end leaves none of the vehicle's bytes for the next one.
    for (std::uint32_t at = 2163; at <= 2195; ++at) {
        if (at <= 2173 || (at >= 2184 && at <= 2186) || at >= 2189) {
            EXPECT_EQ(station.bytes[at], 0) << at;
        }
    }
    EXPECT_EQ(plc::V2GPhase, plc::kV2gPhaseStopped);
    // From the handshake to SessionStop in the order of the charge (0x00
    // before the handshake; PowerDelivery again to stop).
    EXPECT_EQ(steps, (std::vector<int>{0x00, 0x01, 0x02, 0x03, 0x05, 0x04, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x09, 0x0B,
                                       0x0C}));
}

// Misbehaviour on demand: the session refuses it, acts on nothing of it and
// ends; nothing stays armed.
TEST_F(VehicleSession, MisbehaviourIsRefusedAndEndsTheSession) {
    struct Case {
        const char* name;
        std::function<void(evsim::CcsEvConfig&)> set;
        const char* answer;  // the refusal the session must give
        std::uint8_t phase;  // how the session ended
    };
    const Case cases[] = {
        {"wrong session ID in CurrentDemand", [](auto& c) { c.wrongSession = Msg::CurrentDemand; },
         "CurrentDemandRes FAILED_UnknownSession", plc::kV2gPhaseStopped},
        {"wrong session ID in ServiceDiscovery, sent once more",
         [](auto& c) {
             c.wrongSession = Msg::ServiceDiscovery;
             c.repeatFailed = true;
         },
         "sent once more unanswered", plc::kV2gPhaseStopped},
        {"an all-zero session ID", [](auto& c) {
             c.wrongSession = Msg::ServiceDiscovery;
             c.forceId = true;
         }, "ServiceDiscoveryRes FAILED_UnknownSession", plc::kV2gPhaseStopped},
        {"PowerDelivery straight after the handshake", [](auto& c) { c.powerAfter = Msg::SupportedAppProtocol; },
         "PowerDeliveryRes FAILED_SequenceError", plc::kV2gPhaseStopped},
        {"PowerDelivery after ChargeParameterDiscovery", [](auto& c) { c.powerAfter = Msg::ChargeParameterDiscovery; },
         "PowerDeliveryRes FAILED_SequenceError", plc::kV2gPhaseStopped},
        {"ServicePaymentSelection left out", [](auto& c) { c.skip = Msg::ServicePaymentSelection; },
         "ContractAuthenticationRes FAILED_SequenceError", plc::kV2gPhaseStopped},
        {"PowerDelivery left out", [](auto& c) { c.skip = Msg::PowerDelivery; }, "CurrentDemandRes FAILED_SequenceError",
         plc::kV2gPhaseStopped},
        {"PreCharge left out", [](auto& c) { c.skip = Msg::PreCharge; }, "PowerDeliveryRes FAILED_SequenceError",
         plc::kV2gPhaseStopped},
        {"CableCheck left out", [](auto& c) { c.skip = Msg::CableCheck; }, "PreChargeRes FAILED_SequenceError",
         plc::kV2gPhaseStopped},
        {"a target voltage of 32767 kV",
         [](auto& c) {
             c.demandVoltage = 32767;
             c.demandVoltageMultiplier = 3;
             c.refuseAt = Msg::CurrentDemand;
             c.refuseCode = 16;
         },
         "CurrentDemandRes FAILED_WrongChargeParameter", plc::kV2gPhaseStopped},
        {"a negative target current",
         [](auto& c) {
             c.targetCurrent = -5;
             c.refuseAt = Msg::CurrentDemand;
             c.refuseCode = 16;
         },
         "CurrentDemandRes FAILED_WrongChargeParameter", plc::kV2gPhaseStopped},
        {"the connection dropped mid-charge", [](auto& c) { c.dropAfter = 2; }, "connection closed at",
         plc::kV2gPhaseLost},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        all.clear();
        station = evsim::SimpleStation();
        evsim::CcsEvConfig c = QuickConfig();
        k.set(c);
        RunResult r = Charge(c);
        EXPECT_TRUE(r.ok) << r.failure << "\n" << all;
        EXPECT_EQ(Count(k.answer), 1) << all;
        EXPECT_EQ(plc::V2GPhase, k.phase);
        const RegisterMap m(station.bytes.data());
        EXPECT_EQ(m.get(SHRMEM_CCS_EV_READY_TO_CHARGE), 0);
        EXPECT_EQ(m.get(SHRMEM_CCS_EV_TARGET_VOLTAGE), 0);
        EXPECT_EQ(m.get(SHRMEM_CCS_EV_TARGET_CURRENT), 0);
        EXPECT_EQ(plc::nSystemStatus >> 16, 0x060Cu);
    }
}

// Targets above the station's limits are taken as the limits, as DIN means.
TEST_F(VehicleSession, TargetsAboveTheLimitsAreHeldToThem) {
    evsim::CcsEvConfig c = QuickConfig();
    c.targetCurrent = 300;
    c.demands = 3;
    RunResult r = Charge(c);
    ASSERT_TRUE(r.ok) << r.failure << "\n" << all;
    EXPECT_GE(Count("CurrentDemandRes OK, present 400 V 125 A"), 1) << all;
}

TEST_F(VehicleSession, SilentForAlmostSixtySecondsTheSessionGoesOn) {
    evsim::CcsEvConfig c = QuickConfig();
    c.silentBefore = Msg::CableCheck;
    c.silentMs = 59999;
    RunResult r = Charge(c);
    ASSERT_TRUE(r.ok) << r.failure << "\n" << all;
    EXPECT_GE(Count("CableCheckRes OK"), 1) << all;
    EXPECT_EQ(plc::V2GPhase, plc::kV2gPhaseStopped);
}

TEST_F(VehicleSession, SixtySecondsOfSilenceEndTheSession) {
    evsim::CcsEvConfig c = QuickConfig();
    c.silentBefore = Msg::PreCharge;
    c.silentMs = 60000;
    RunResult r = Charge(c);
    ASSERT_TRUE(r.ok) << r.failure << "\n" << all;
    EXPECT_NE(all.find("the station closed the connection"), std::string::npos) << all;
    EXPECT_EQ(plc::V2GPhase, plc::kV2gPhaseTimeout);
}

}  // namespace session

}  // namespace
