// Identity, radio and network queries against the emulated module: what
// lands in the register map, what is refused, what is logged.
#include <gtest/gtest.h>

#include "modem_rig.h"
#include "queries.h"

namespace {

using namespace regmap::mainb;
using modem_test::Count;
using modem_test::Rig;

struct QueryRig : Rig {
    explicit QueryRig(const std::string& model, std::uint8_t family) : Rig(model) {
        w.ModuleModel = family;
        fd = io.Open(family == 0 ? "/dev/ttyUSB2" : "/dev/ttyACM0");
        w.map.set(SHRMEM_3G_MODEM_RSSI, 99);
        w.map.set(SHRMEM_3G_MODEM_RSRQ, 255);
        w.map.set(SHRMEM_3G_MODEM_RSRP, 255);
    }
    int fd;
};

TEST(ModemIdentity, DigitsOnlyWhereTheFieldHoldsDigits) {
    QueryRig r("PLS8-E", 3);
    EXPECT_TRUE(modem::GetIMEI(r.w, r.fd));
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_IMEI), "356938035643809");
    EXPECT_EQ(r.image[20544], '3');
    r.dev.script().imei = "35693803564380A";
    EXPECT_FALSE(modem::GetIMEI(r.w, r.fd)) << "a letter is refused";
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_IMEI), "356938035643809");
    r.dev.script().imei = "";
    EXPECT_TRUE(modem::GetIMEI(r.w, r.fd)) << "an empty IMEI line passes";
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_IMEI), "");

    r.dev.script().imsi = "";
    EXPECT_FALSE(modem::GetIMSI(r.w, r.fd)) << "an empty IMSI line does not";
    r.dev.script().imsi = "262011234567890";
    EXPECT_TRUE(modem::GetIMSI(r.w, r.fd));
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_MODEM_IMSI), "262011234567890");
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_IMSI), "262011234567890");

    // Class 3 quotes the ICCID and ends it in a filler letter: only the digits stay.
    r.dev.script().iccid = "8949020000123456789";
    EXPECT_TRUE(modem::GetICCID(r.w, r.fd));
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_ICCID), "8949020000123456789");
    EXPECT_EQ(r.image[1856], '8');
    EXPECT_EQ(r.dev.Lines().back(), "AT^SIND=\"iccid\",0");

    r.dev.SetFault("AT^SIND=\"iccid\",0", sim::Fault::CmeError);
    EXPECT_FALSE(modem::GetICCID(r.w, r.fd)) << "no prefix in a CME line";
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_ICCID), "8949020000123456789");

    r.w.ModuleModel = modem::kNoModel;
    const auto sent = r.dev.Lines().size();
    EXPECT_FALSE(modem::GetICCID(r.w, r.fd));
    EXPECT_EQ(r.dev.Lines().size(), sent) << "no family, no command";
}

TEST(ModemIdentity, ChangesAreLoggedByContainment) {
    QueryRig r("TOBY-L210", 2);
    EXPECT_TRUE(modem::GetModelName(r.w, r.fd));
    EXPECT_TRUE(modem::GetModelName(r.w, r.fd));
    r.dev.script().model = "TOBY";
    EXPECT_TRUE(modem::GetModelName(r.w, r.fd));
    const std::string log = r.Log();
    EXPECT_EQ(Count(log, "[Wendle]ModelName from  to TOBY-L210\n"), 1);
    EXPECT_EQ(Count(log, "[Wendle]ModelName from"), 1) << "unchanged and contained texts are not logged";
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_MODEL), "TOBY") << "but stored";
    EXPECT_EQ(r.image[20480 + 4], 0);
}

TEST(ModemRadio, SignalIsStoredAndLargeChangesLogged) {
    QueryRig r("SARA-U201", 1);
    for (const char* csq : {"20,99", "24,99", "26,99"}) {
        r.dev.script().csq = csq;
        EXPECT_TRUE(modem::GetRSXX(r.w, r.fd));
    }
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_MODEM_RSSI), 26);
    std::string log = r.Log();
    EXPECT_EQ(Count(log, "[Wendle] RSSI is from 99 to 20\n"), 1);
    EXPECT_EQ(Count(log, "to 24"), 0);
    EXPECT_EQ(Count(log, "[Wendle] RSSI is from 20 to 26\n"), 1);
    EXPECT_EQ(r.w.map.get(SHRMEM_3G_MODEM_RSRQ), 255) << "class 1 never writes RSRQ";

    QueryRig l("PLS8-E", 3);
    EXPECT_TRUE(modem::GetRSXX(l.w, l.fd));
    EXPECT_EQ(l.dev.Lines().back(), "AT+CESQ");
    EXPECT_EQ(l.image[20577], 20);
    EXPECT_EQ(l.image[20578], 45);
    EXPECT_EQ(l.image[20576], 99) << "class 3 never writes RSSI";
    log = l.Log();
    EXPECT_EQ(Count(log, "[Wendle] RSRQ is from 255 to 20\n"), 1);
    EXPECT_EQ(Count(log, "[Wendle] RSRP is from 255 to 45\n"), 1);
    l.dev.script().cesq = "99,99,255,255,21";
    EXPECT_TRUE(modem::GetRSXX(l.w, l.fd));
    EXPECT_EQ(l.image[20577], 21);
    EXPECT_EQ(l.image[20578], 45) << "fewer than six fields: no RSRP";
}

TEST(ModemRadio, StateTextsFromEachFamily) {
    struct Case {
        const char* model;
        std::uint8_t family;
        void (*script)(sim::ModemScript&);
        std::vector<std::pair<regmap::Text, std::string>> texts;
    };
    const Case cases[] = {
        {"MU709", 0, [](sim::ModemScript& s) { s.sysinfo = "2,3,0,5,1,,4"; },
         {{SHRMEM_3G_SERVICE_STATUS, "Valid services"}, {SHRMEM_3G_SERVICE_DOMAIN, "PS+CS services"},
          {SHRMEM_3G_ROAM_STATUS, "Not roaming"}, {SHRMEM_3G_SYSTEM_MODE, "WCDMA mode"},
          {SHRMEM_3G_SIM_STATE, "Valid SIM card"}, {SHRMEM_3G_SYSTEM_SUBMODE, "WCDMA mode"}}},
        {"MU709", 0, [](sim::ModemScript& s) { s.sysinfo = "9,4,1,12,255,,40"; },
         {{SHRMEM_3G_SERVICE_STATUS, "Unknow(9)"}, {SHRMEM_3G_SERVICE_DOMAIN, "searching now"},
          {SHRMEM_3G_ROAM_STATUS, "Roaming"}, {SHRMEM_3G_SYSTEM_MODE, "Unknow(12)"},
          {SHRMEM_3G_SIM_STATE, "No SIM card is found"}, {SHRMEM_3G_SYSTEM_SUBMODE, "Unknow(40)"}}},
        {"TOBY-L210", 2, [](sim::ModemScript& s) { s.creg = "0,5"; s.cind = "5,0,0,0,0,0,0,0,0,0,0,0"; },
         {{SHRMEM_3G_SERVICE_STATUS, "Valid roaming services"}, {SHRMEM_3G_SIM_STATE, "No SIM card is found"},
          {SHRMEM_3G_SYSTEM_MODE, ""}}},
        {"TOBY-L210", 2, [](sim::ModemScript& s) { s.creg = "2,1,\"00C3\",\"0A1B2C\",7"; s.cind = "5,0,0,0,0,0,0,0,0,0,0,7"; },
         {{SHRMEM_3G_SERVICE_STATUS, "Valid services"}, {SHRMEM_3G_SIM_STATE, "Unknow SIM state(7)"}}},
        {"PLS8-E", 3, [](sim::ModemScript& s) { s.creg = "0,3"; s.cpin = "SIM PIN"; },
         {{SHRMEM_3G_SERVICE_STATUS, "Service denied"}, {SHRMEM_3G_SIM_STATE, "Unknown SIM state"}}},
        {"PLS8-E", 3, [](sim::ModemScript& s) { s.cpin = "cme:SIM failure"; },
         {{SHRMEM_3G_SIM_STATE, "Invalid SIM card"}}},
        {"SARA-U201", 1, [](sim::ModemScript&) {},
         {{SHRMEM_3G_SERVICE_STATUS, ""}, {SHRMEM_3G_SIM_STATE, ""}}},
    };
    for (const Case& c : cases) {
        QueryRig r(c.model, c.family);
        c.script(r.dev.script());
        modem::GetSystemInfo(r.w, r.fd);
        for (const auto& [field, text] : c.texts) EXPECT_EQ(r.w.map.get(field), text) << c.model << " " << field.offset;
    }
    QueryRig r("SARA-U201", 1);
    modem::GetSystemInfo(r.w, r.fd);
    EXPECT_TRUE(r.dev.Lines().empty()) << "class 1 is not asked";

    QueryRig log("PLS8-E", 3);
    log.dev.script().creg = "0,1";
    modem::GetSystemInfo(log.w, log.fd);
    EXPECT_EQ(Count(log.Log(), "[Wendle]SHRMEM_3G_SERVICE_STATUS from  to Valid services\n"), 1);
    EXPECT_EQ(Count(log.Log(), "[Wendle]SHRMEM_3G_SIM_STATE from  to Valid SIM card\n"), 1);
}

TEST(ModemRadio, OperatorAndAccessTechnology) {
    struct Case {
        std::string cops;
        std::string op;
        std::string act;
    };
    const Case cases[] = {
        {"0", "No Connect", "Unknown"},
        {"0,0,\"Verizon Wireless\",7", "\"Verizon Wireless\"", "LTE"},
        {"1,2,\"26201\"", "\"26201\"", "Unknown"},
        {"0,0,\"An operator name far longer than the field\",2", "\"An operator name far longer th", "UTRAN"},
        {"0,0,\"X\",12", "\"X\"", "Unknown"},
    };
    for (const Case& c : cases) {
        QueryRig r("PLS8-E", 3);
        r.w.map.set(SHRMEM_3G_ACCESS_TECH, "something longer than all");
        r.dev.script().cops = c.cops;
        EXPECT_TRUE(modem::GetOperator(r.w, r.fd)) << c.cops;
        EXPECT_EQ(r.w.map.get(SHRMEM_3G_OPERATOR), c.op) << c.cops;
        EXPECT_EQ(r.w.map.get(SHRMEM_3G_ACCESS_TECH), c.act) << c.cops;
    }
}

TEST(ModemRadio, FailedQueriesLeaveFieldsAlone) {
    for (sim::Fault f : {sim::Fault::Silent, sim::Fault::Error}) {
        QueryRig r("PLS8-E", 3);
        r.w.map.set(SHRMEM_3G_OPERATOR, "\"Kept\"");
        r.w.map.set(SHRMEM_3G_SIM_STATE, "Valid SIM card");
        r.dev.SetFault("*", f);
        EXPECT_FALSE(modem::GetOperator(r.w, r.fd));
        EXPECT_FALSE(modem::GetRSXX(r.w, r.fd));
        EXPECT_FALSE(modem::GetSIMstate(r.w, r.fd));
        EXPECT_EQ(r.w.map.get(SHRMEM_3G_OPERATOR), "\"Kept\"");
        EXPECT_EQ(r.w.map.get(SHRMEM_3G_SIM_STATE), "Valid SIM card");
        EXPECT_EQ(r.image[20577], 255);
    }
}

TEST(ModemBandLock, MasksAreSixtyFourBitsWide) {
    const std::pair<int, std::string> cases[] = {
        {1, "\"1\",\"0\""},         {20, "\"80000\",\"0\""},   {32, "\"80000000\",\"0\""},
        {33, "\"0\",\"1\""},        {41, "\"0\",\"100\""},     {66, "\"0\",\"200000000\""},
        {96, "\"0\",\"8000000000000000\""}, {255, "\"0a0e18df\",\"2000001a0\""},
    };
    for (const auto& [band, masks] : cases) {
        EXPECT_EQ(modem::BandLockCommand(band), "AT^SCFG=\"radio/band/4g\"," + masks) << band;
    }
}

}  // namespace
