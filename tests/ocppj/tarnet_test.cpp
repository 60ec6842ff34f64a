#include "tarnet.h"

#include <gtest/gtest.h>

#include "instance_lock.h"
#include "ocppj_rig.h"
#include "reset.h"

using namespace ocppj;

namespace {

struct TarnetRig : OcppjRig {
    void Init() { ASSERT_TRUE(tarnet.Init(*app, *x)); }
    void Run(int seconds) {
        for (int i = 0; i < seconds; ++i) {
            clock.Advance(1000);
            tarnet.Pass();
        }
    }
    Tarnet tarnet;
};

}  // namespace

TEST(Tarnet, StartClearsItsRunAreaAndRestoresConnectorsFromFiles) {
    TarnetRig rig;
    std::memset(rig.app->ctrlVersion, 0x5A, sizeof(fennick::FennickApp) - offsetof(fennick::FennickApp, ctrlVersion));
    rig.app->statusRingWriteIndex = 17;
    WriteValueFile("/Storage/Tarnet/Cnntr2/", "IdTag", "ABC123");
    WriteValueFile("/Storage/Tarnet/Cnntr2/", "PIdTag", "PARENT1");
    WriteValueFile("/Storage/Tarnet/Cnntr2/", "StsAvail", "1");
    rig.Init();
    EXPECT_STREQ(rig.app->ctrlVersion, "02.09.00.09");
    EXPECT_EQ(rig.app->backendOnline, 0);
    EXPECT_EQ(rig.app->hardResetReq, 0);
    EXPECT_EQ(rig.app->statusRingWriteIndex, 17);  // below the run area: kept
    for (int c = 1; c <= 2; ++c) {
        EXPECT_EQ(fennick::ConnectorRec(*rig.app, c).currentLimitA, -1.0f);
        EXPECT_EQ(fennick::ConnectorRec(*rig.app, c).powerLimitW, -1.0f);
        EXPECT_EQ(fennick::ConnectorRec(*rig.app, c).txnRunning, 0);
    }
    EXPECT_EQ(fennick::ConnectorRec(*rig.app, 1).idTag[0], '\0');
    EXPECT_STREQ(fennick::ConnectorRec(*rig.app, 2).idTag, "ABC123");
    EXPECT_STREQ(fennick::ConnectorRec(*rig.app, 2).parentIdTag, "PARENT1");
    EXPECT_EQ(fennick::ConnectorRec(*rig.app, 2).unavailable, 1);
    EXPECT_EQ(fennick::ConnectorRec(*rig.app, 3).currentLimitA, 0.0f);  // beyond NumberOfConnectors
}

TEST(Tarnet, AcceptedBootSetsTheHeartbeatIntervalAndPacesTheHeartbeat) {
    TarnetRig rig;
    rig.app->configValues.HeartbeatInterval = 60;
    rig.Init();
    SetBit(*rig.x, kBitHeartbeat);
    rig.Run(100);  // not accepted yet: the bit is Fennick's, nothing is paced
    ClearBit(*rig.x, kBitHeartbeat);
    std::strcpy(rig.x->boot.status, "Accepted");
    rig.x->boot.interval = 300;
    rig.x->bootAccepted = 1;
    rig.Run(1);
    EXPECT_EQ(rig.x->bootAccepted, 0);
    EXPECT_EQ(rig.tarnet.Config().Value("HeartbeatInterval"), "300");
    EXPECT_EQ(rig.app->configValues.HeartbeatInterval, 300);
    EXPECT_EQ(rig.app->configChangedFlag, 1);
    rig.Run(299);
    EXPECT_FALSE(TestBit(*rig.x, kBitHeartbeat));
    rig.Run(1);
    EXPECT_TRUE(TestBit(*rig.x, kBitHeartbeat));
    rig.Run(400);  // the bit still up: no second request, the timer waits
    ClearBit(*rig.x, kBitHeartbeat);
    rig.Run(1);
    EXPECT_TRUE(TestBit(*rig.x, kBitHeartbeat));
}

TEST(Tarnet, ConfigurationCommandsAreAnsweredOneBitPerByteAndSynced) {
    TarnetRig rig;
    rig.Init();
    std::strcpy(rig.x->changeConfiguration.key, "HeartbeatInterval");
    std::strcpy(rig.x->changeConfiguration.value, "45");
    std::strcpy(rig.x->getConfiguration.key[0], "HeartbeatInterval");
    SetBit(*rig.x, CommandBit(kCmdChangeConfiguration));
    SetBit(*rig.x, CommandBit(kCmdGetConfiguration));
    SetBit(*rig.x, kBitHeartbeat);  // byte 3 request bits are not commands
    rig.tarnet.ConfCommandHandling();
    EXPECT_STREQ(rig.x->changeConfiguration.status, "Accepted");
    EXPECT_EQ(rig.app->configValues.HeartbeatInterval, 45);
    EXPECT_EQ(rig.app->configChangedFlag, 1);
    EXPECT_TRUE(TestBit(*rig.x, CommandBit(kCmdGetConfiguration)));  // same byte: next pass
    rig.tarnet.ConfCommandHandling();
    EXPECT_FALSE(TestBit(*rig.x, CommandBit(kCmdGetConfiguration)));
    EXPECT_STREQ(rig.x->getConfiguration.configurationKey[0].value, "45");
    EXPECT_TRUE(TestBit(*rig.x, kBitHeartbeat));
}

TEST(Tarnet, AcceptedResetWaitsForTransactionsThenRaisesItsRequest) {
    TarnetRig rig;
    WriteValueFile("/Storage/Tarnet/Cnntr1/", "StartTime", "1709288000");
    rig.Init();
    char* base = reinterpret_cast<char*>(rig.x.get());
    std::strcpy(base + 44312, "Hard");
    std::strcpy(base + 44320, "Accepted");
    rig.tarnet.ResetMgmt();
    EXPECT_EQ(rig.app->hardResetReq, 0);

    TarnetRig idle;
    idle.Init();
    base = reinterpret_cast<char*>(idle.x.get());
    std::strcpy(base + 44312, "Soft");
    std::strcpy(base + 44320, "Accepted");
    idle.tarnet.ResetMgmt();
    EXPECT_EQ(idle.app->softResetReq, 1);
    EXPECT_EQ(idle.app->hardResetReq, 0);
    EXPECT_EQ(base[44312], '\0');
}

TEST(Tarnet, ResetIsAcceptedForItsTwoTypesOnlyAndThenRequested) {
    struct Case {
        const char* type;
        const char* status;
        std::uint8_t hard, soft;
    } cases[] = {
        {"Hard", "Accepted", 1, 0},
        {"Soft", "Accepted", 0, 1},
        {"hard", "Rejected", 0, 0},
        {"", "Rejected", 0, 0},
    };
    for (const Case& c : cases) {
        TarnetRig rig;
        rig.Init();
        std::strcpy(ResetSlotOf(*rig.x).type, c.type);
        SetBit(*rig.x, CommandBit(kCmdReset));
        rig.Run(1);
        EXPECT_FALSE(TestBit(*rig.x, CommandBit(kCmdReset))) << c.type;
        EXPECT_STREQ(ResetSlotOf(*rig.x).status, c.status) << c.type;
        EXPECT_EQ(rig.app->hardResetReq, c.hard) << c.type;
        EXPECT_EQ(rig.app->softResetReq, c.soft) << c.type;
    }
}

TEST(Tarnet, TransportIsStartedAtOnceAndCheckedAgainEverySixtySeconds) {
    TarnetRig rig;
    rig.Init();
    ASSERT_EQ(rig.runner.Texts(), std::vector<std::string>{"/root/Fennick &"});
    EXPECT_TRUE(rig.runner.commands[0].background);
    rig.Run(59);
    EXPECT_EQ(rig.runner.commands.size(), 1u);
    rig.Run(1);
    EXPECT_EQ(rig.runner.commands.size(), 2u);  // not running here: started again
    // While the transport holds its lock it is left alone.
    ASSERT_TRUE(platform::HoldInstanceLock("Fennick"));
    rig.Run(61);
    EXPECT_EQ(rig.runner.commands.size(), 2u);
}
