#include "config_table.h"

#include <gtest/gtest.h>

#include "ocppj_rig.h"
#include "tarnet.h"

using namespace ocppj;

namespace {

struct ConfigRig : OcppjRig {
    ConfigRig() {
        auto& v = app->configValues;
        v.HeartbeatInterval = 120;
        v.AllowOfflineTxForUnknownId = 2;  // not 1: shown as false
        v.MeterValuesSampledDataMaxLength = 8;
        std::strcpy(v.MeterValuesSampledData, "Energy.Active.Import.Register");
        std::strcpy(v.AuthorizationKey, "s3cret");
        std::strcpy(v.ChapPassword, "chap");
        std::strcpy(v.APN, "internet");
        table.Init(*app);
    }
    std::string Change(const std::string& key, const std::string& value, std::string* log = nullptr) {
        return table.Change(key, value, supported, log);
    }
    ConfigTable table;
    std::vector<std::string> supported = {"Current.Import", "Energy.Active.Import.Register", "SoC", "Voltage"};
};

}  // namespace

TEST(ConfigTable, GetConfigurationWithoutKeysAnswersAllFiftyInTableOrder) {
    ConfigRig rig;
    rig.table.Get(*rig.x);
    const auto& g = rig.x->getConfiguration;
    const char* expected[] = {"AllowOfflineTxForUnknownId", "AuthorizationCacheEnabled", "AuthorizeRemoteTxRequests",
                              "ClockAlignedDataInterval", "ConnectionTimeOut", "GetConfigurationMaxKeys"};
    for (int i = 0; i < 6; ++i) EXPECT_STREQ(g.configurationKey[i].key, expected[i]);
    EXPECT_STREQ(g.configurationKey[29].key, "WebSocketPingInterval");
    EXPECT_STREQ(g.configurationKey[30].key, "LocalAuthListEnabled");
    EXPECT_STREQ(g.configurationKey[33].key, "ReserveConnectorZeroSupported");
    EXPECT_STREQ(g.configurationKey[39].key, "AuthorizationRequired");
    EXPECT_STREQ(g.configurationKey[49].key, "ChargeBoxID");
    EXPECT_STREQ(g.configurationKey[0].value, "false");
    EXPECT_STREQ(g.configurationKey[5].readonly, "true");
    EXPECT_STREQ(g.configurationKey[6].readonly, "false");
    EXPECT_STREQ(g.configurationKey[6].value, "120");
    EXPECT_STREQ(g.configurationKey[12].value, "8");
    EXPECT_STREQ(g.configurationKey[43].value, "internet");
    // Write-only keys never show their value.
    EXPECT_STREQ(g.configurationKey[45].key, "ChapPassword");
    EXPECT_STREQ(g.configurationKey[45].value, "");
    EXPECT_STREQ(g.configurationKey[48].key, "AuthorizationKey");
    EXPECT_STREQ(g.configurationKey[48].value, "");
    EXPECT_EQ(g.unknownKey[0][0], '\0');
}

TEST(ConfigTable, GetConfigurationOfNamedKeysListsTheUnknownOnes) {
    ConfigRig rig;
    std::strcpy(rig.x->getConfiguration.key[0], "HeartbeatInterval");
    std::strcpy(rig.x->getConfiguration.key[1], "Foo");
    rig.table.Get(*rig.x);
    EXPECT_STREQ(rig.x->getConfiguration.configurationKey[0].key, "HeartbeatInterval");
    EXPECT_EQ(rig.x->getConfiguration.configurationKey[1].key[0], '\0');
    EXPECT_STREQ(rig.x->getConfiguration.unknownKey[0], "Foo");
    EXPECT_EQ(rig.x->getConfiguration.unknownKey[1][0], '\0');
}

TEST(ConfigTable, ChangeConfigurationAnswers) {
    ConfigRig rig;
    struct Case {
        const char* key;
        std::string value;
        const char* status;
    } cases[] = {
        {"Foo", "1", "NotSupported"},
        {"heartbeatinterval", "1", "NotSupported"},
        {"NumberOfConnectors", "3", "Rejected"},
        {"GetConfigurationMaxKeys", "3", "Rejected"},
        {"HeartbeatInterval", "-5", "Rejected"},
        {"HeartbeatInterval", "1.5", "Rejected"},
        {"HeartbeatInterval", "4294967296", "Rejected"},
        {"HeartbeatInterval", "", "Accepted"},
        {"HeartbeatInterval", "2147483647", "Accepted"},
        {"LocalPreAuthorize", "True", "Rejected"},
        {"LocalPreAuthorize", "true", "Accepted"},
        {"ServerURL", "wss://cs.example/ocpp/", "RebootRequired"},
        {"AuthorizationKey", std::string(39, 'k'), "RebootRequired"},
        {"AuthorizationKey", std::string(40, 'k'), "Rejected"},
        {"APN", std::string(32, 'a'), "Rejected"},
        {"NonAuthorizedTag", std::string(127, 'n'), "Accepted"},
        {"NonAuthorizedTag", std::string(128, 'n'), "Rejected"},
        {"MeterValuesSampledData", "Energy.Active.Import.Register,SoC", "Accepted"},
        {"MeterValuesSampledData", "", "Accepted"},
        {"MeterValuesSampledData", "SoC,", "Rejected"},
        {"MeterValuesSampledData", "SoCx", "Rejected"},
        {"MeterValuesAlignedData", "Frequency", "Rejected"},  // not measured here
    };
    for (const Case& c : cases) EXPECT_EQ(rig.Change(c.key, c.value), c.status) << c.key << "=" << c.value;
}

TEST(ConfigTable, MeasurandListFaultNamesTheIndex) {
    ConfigRig rig;
    std::string log;
    EXPECT_EQ(rig.Change("MeterValuesSampledData", "Energy.Active.Import.Register;SoC", &log), "Rejected");
    EXPECT_EQ(log, "[Error][MeterMeasurandConfig]Format Error, expect ','. ConfData=Energy.Active.Import.Register;SoC "
                   "Index=29");
    EXPECT_EQ(rig.Change("MeterValuesSampledData", "SoC,Bogus", &log), "Rejected");
    EXPECT_EQ(log, "[Error][MeterMeasurandConfig]Match Error. ConfData=SoC,Bogus Index=4");
}

TEST(ConfigTable, SyncWritesChangedValuesBackAndRefusedOnesLeaveThemAlone) {
    ConfigRig rig;
    rig.Change("HeartbeatInterval", "-5");
    rig.Change("LocalPreAuthorize", "true");
    rig.Change("ChargeBoxID", "CP 02");
    rig.Change("MeterValuesSampledData", "SoC,Voltage");
    rig.table.SyncIn(*rig.app);
    const auto& v = rig.app->configValues;
    EXPECT_EQ(v.HeartbeatInterval, 120);
    EXPECT_EQ(v.LocalPreAuthorize, 1);
    EXPECT_EQ(v.AllowOfflineTxForUnknownId, 0);  // a stray 2 is written back as false
    EXPECT_STREQ(v.ChargeBoxID, "CP 02");
    EXPECT_STREQ(v.MeterValuesSampledData, "SoC,Voltage");
    EXPECT_STREQ(v.AuthorizationKey, "s3cret");
    EXPECT_EQ(rig.app->configChangedFlag, 1);
}

TEST(ConfigTable, NumberOfConnectorsStaysWithinTheFiveConnectorArrays) {
    for (auto [stored, shown] : {std::pair{-3, "1"}, {0, "1"}, {2, "2"}, {5, "5"}, {9, "5"}}) {
        OcppjRig rig;
        rig.app->configValues.NumberOfConnectors = stored;
        ConfigTable t;
        t.Init(*rig.app);
        EXPECT_EQ(t.Value("NumberOfConnectors"), shown) << stored;
    }
}
