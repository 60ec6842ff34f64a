#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "txn_rig.h"

using namespace ocppj;

namespace {

using Calls = std::vector<std::string>;

// Every meter value distinct, so a value in the wrong place shows.
void Meter(TxnRig& rig, int c) {
    fennick::ConnectorMeterBlock& m = fennick::MeterBlock(*rig.app, c);
    m.voltage = 40012;        // 400.12 V
    m.currentImport = 12345;  // 123.45 A
    m.powerImport = 49396;    // 49.40 kW
    m.energyImportRegister = 1234;
    m.soc = 55;
    m.currentOffered = 15000;  // 150.00 A
}

struct MeterRig : TxnRig {
    MeterRig(const char* aligned, const char* sampled) {
        std::strcpy(app->configValues.MeterValuesAlignedData, aligned);
        std::strcpy(app->configValues.MeterValuesSampledData, sampled);
        withMeter = true;
    }
};

TEST(TarnetMeter, SampledValuesCarryTheirTextsUnitsAndPlacesInTableOrder) {
    MeterRig rig("Current.Offered,SoC,Energy.Active.Import.Register,Power.Active.Import,Current.Import,Voltage", "");
    Meter(rig, 2);
    // The station describes two measurands; the rest take the defaults.
    auto& d = fennick::MeterBlock(*rig.app, 2).measurandDescriptors;
    std::strcpy(d[21].format, "SignedData");
    std::strcpy(d[21].phase, "L1-N");
    std::strcpy(d[19].phase, "L1");  // a state of charge never has a phase
    std::strcpy(d[19].location, "Cable");
    rig.Init();
    rig.tarnet.TriggerMeterValues(2);
    rig.holdAnswers = true;
    rig.Pass();
    ASSERT_TRUE(TestBit(*rig.x, kBitMeterValues));
    const auto& m = rig.x->meterValues;
    EXPECT_EQ(m.connectorId, 2);
    EXPECT_EQ(FieldText(m.meterValue[0].timestamp), EpochToUTC(rig.clock.WallSeconds()));
    EXPECT_EQ(m.meterValue[1].timestamp[0], '\0');
    const char* want[][7] = {
        {"400.12", "Trigger", "SignedData", "Voltage", "L1-N", "Body", "V"},
        {"123.45", "Trigger", "Raw", "Current.Import", "", "Body", "A"},
        {"49.40", "Trigger", "Raw", "Power.Active.Import", "", "Body", "kW"},
        {"1234", "Trigger", "Raw", "Energy.Active.Import.Register", "", "Body", "Wh"},
        {"55", "Trigger", "Raw", "SoC", "", "Cable", "Percent"},
        {"150.00", "Trigger", "Raw", "Current.Offered", "", "Body", "A"},
    };
    for (int i = 0; i < 6; ++i) {
        const SampledValue& v = m.meterValue[0].sampledValue[i];
        const std::string got[7] = {FieldText(v.value), FieldText(v.context), FieldText(v.format), FieldText(v.measurand),
                                    FieldText(v.phase), FieldText(v.location), FieldText(v.unit)};
        for (int f = 0; f < 7; ++f) EXPECT_EQ(got[f], want[i][f]) << i << " " << f;
    }
    EXPECT_EQ(m.meterValue[0].sampledValue[6].value[0], '\0');
}

TEST(TarnetMeter, TheListChoosesTheMeasurandsNotTheirOrder) {
    for (const char* list : {"Energy.Active.Import.Register,SoC", "SoC,Energy.Active.Import.Register"}) {
        MeterRig rig(list, "");
        Meter(rig, 1);
        rig.Init();
        rig.tarnet.TriggerMeterValues(1);
        rig.Pass();
        EXPECT_EQ(rig.calls, (Calls{"Meter 1 0 Energy.Active.Import.Register=1234 SoC=55"})) << list;
    }
}

TEST(TarnetMeter, ATriggerForEveryConnectorServesOneConnectorAPass) {
    MeterRig rig("SoC", "");
    rig.Init();
    fennick::MeterBlock(*rig.app, 1).soc = 11;
    fennick::MeterBlock(*rig.app, 2).soc = 22;
    rig.tarnet.TriggerMeterValues(-1);
    rig.Pass();
    EXPECT_EQ(rig.calls, (Calls{"Meter 1 0 SoC=11"}));
    rig.Passes(3);
    EXPECT_EQ(rig.calls, (Calls{"Meter 1 0 SoC=11", "Meter 2 0 SoC=22"}));
}

TEST(TarnetMeter, PeriodicSamplesFollowTheTransactionStartByTheInterval) {
    MeterRig rig("", "Energy.Active.Import.Register");
    rig.app->configValues.MeterValueSampleInterval = 60;
    rig.Init();
    rig.Begin(1);
    const std::int64_t t = rig.tarnet.Runtime(1).txnStartTime;
    std::vector<std::int64_t> at;
    for (int i = 0; i < 130; ++i) {
        const std::size_t before = rig.calls.size();
        rig.Pass();
        if (rig.calls.size() > before && rig.calls.back().rfind("Meter", 0) == 0) at.push_back(rig.clock.WallSeconds());
    }
    ASSERT_EQ(at.size(), 2u);
    EXPECT_GE(at[0], t + 60);
    EXPECT_LE(at[0], t + 61);
    EXPECT_GE(at[1], at[0] + 60);
    EXPECT_EQ(rig.calls.back(), "Meter 1 77 Energy.Active.Import.Register=0");
}

TEST(TarnetMeter, ClockAlignedValuesFallOnTheQuarterHoursOfEveryConnector) {
    struct Case {
        std::int64_t startAt;  // epoch seconds
        std::int32_t interval;
        std::vector<std::int64_t> quarters;  // seconds of the day where records are due
    };
    const std::int64_t day = 1709251200;  // 2024-03-01T00:00:00Z
    const Case cases[] = {
        {day + 10 * 3600 + 14 * 60 + 50, 900, {10 * 3600 + 15 * 60}},
        {day + 10 * 3600 + 59 * 60 + 50, 900, {11 * 3600}},
        {day + 86400 - 10, 900, {86400}},  // midnight too
        {day + 10 * 3600 + 14 * 60 + 50, 0, {}},
    };
    for (const Case& c : cases) {
        MeterRig rig("SoC", "");
        rig.app->configValues.ClockAlignedDataInterval = c.interval;
        rig.clock.SetWallSeconds(c.startAt);
        rig.Init();
        std::vector<std::string> seen;
        for (int i = 0; i < 25; ++i) {
            const std::size_t before = rig.calls.size();
            rig.Pass();
            for (std::size_t k = before; k < rig.calls.size(); ++k)
                seen.push_back(std::to_string((rig.clock.WallSeconds() - day)) + " " + rig.calls[k]);
        }
        std::vector<std::string> want;
        for (std::int64_t q : c.quarters) {
            want.push_back(std::to_string(q) + " Meter 1 0 SoC=0");
            want.push_back(std::to_string(q + 1) + " Meter 2 0 SoC=0");
        }
        EXPECT_EQ(seen, want) << c.startAt;
    }
}

TEST(TarnetMeter, OfflineEveryRecordGoesToTheQueueWithItsValuesInPlace) {
    MeterRig rig("", "Energy.Active.Import.Register,SoC");
    rig.app->configValues.MeterValueSampleInterval = 60;
    Meter(rig, 2);
    rig.Init();
    rig.Offline();
    rig.Begin(2);
    rig.Passes(61);
    const std::string q = rig.File("TxnMsgQueue");
    const std::size_t at = q.find("\n3:");
    ASSERT_NE(at, std::string::npos) << q;
    const std::string line = q.substr(at + 1);
    EXPECT_EQ(line.substr(0, 6), "3:2:0:");
    EXPECT_NE(line.find(":Sample.Periodic:x:x:x:1234:55:x\n"), std::string::npos) << line;
    EXPECT_TRUE(rig.calls.empty());
}

}  // namespace
