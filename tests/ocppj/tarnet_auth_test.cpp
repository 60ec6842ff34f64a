#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <string>

#include "messages.h"
#include "ocppj_rig.h"
#include "tarnet.h"

using namespace ocppj;

namespace {

struct Answer {
    const char* status;
    const char* expiry;
    const char* parent;
};

// Tarnet on the link, the transport answering Authorize from `central`
// (an idTag it does not know is Invalid) after one wait.
struct AuthRig : OcppjRig {
    AuthRig() {
        setenv("TZ", "UTC", 1);
        tzset();
        auto& cv = app->configValues;
        cv.AuthorizationCacheEnabled = 1;
        cv.LocalAuthorizeOffline = 1;
        wait.onSleep = [this] { Transport(); };
    }
    void Init() {
        ASSERT_TRUE(tarnet.Init(*app, *x));
        std::snprintf(x->boot.status, sizeof x->boot.status, "Accepted");
        x->wsConnected = 1;
        x->backendReachable = 1;
        tarnet.CheckBackendCnnt();
    }
    void Offline() {
        x->backendReachable = 0;
        tarnet.CheckBackendCnnt();
    }
    void Transport() {
        if (!TestBit(*x, kBitAuthorize)) return;
        if (dropLink) {
            x->backendReachable = 0;
            return;
        }
        ++calls;
        if (callError != 0) {
            x->lastCallResult = callError;
            CallAnswer(*x, Request::Authorize) = kAnswered | callError;
            ClearBit(*x, kBitAuthorize);
            return;
        }
        auto it = central.find(FieldText(x->authorize.idTag));
        const Answer a = it == central.end() ? Answer{"Invalid", "", ""} : it->second;
        PutText(x->authorize.status, a.status);
        PutText(x->authorize.expiryDate, a.expiry);
        PutText(x->authorize.parentIdTag, a.parent);
        CallAnswer(*x, Request::Authorize) = kAnswered;
        ClearBit(*x, kBitAuthorize);
    }
    // The station asks: kind 0 start, 1 stop. Returns authResult.
    int Ask(const char* idTag, std::int32_t connector, std::uint8_t kind = 0) {
        PutText(app->authIdTag, idTag);
        app->authConnectorId = connector;
        app->authKind = kind;
        // A pass asks; the transport answers; a later pass decides.
        tarnet.AuthMgmt();
        for (int pass = 0; pass < 200 && app->authIdTag[0] != '\0'; ++pass) {
            EXPECT_EQ(app->authResult, 1);
            clock.Advance(1000);
            Transport();
            tarnet.AuthMgmt();
        }
        EXPECT_EQ(app->authIdTag[0], '\0');
        return app->authResult;
    }
    fennick::ConnectorRecord& Rec(int c) { return fennick::ConnectorRec(*app, c); }
    std::string CacheFile() { return platform::ReadTextFile(tarnet.Cache().Path(), 1 << 20); }

    WaitClock wait{clock};
    platform::ScopedClock scopedWait{wait};
    Tarnet tarnet;
    std::map<std::string, Answer> central;
    int calls = 0;
    std::uint8_t callError = 0;
    bool dropLink = false;
};

TEST(TarnetAuth, OnlineTheCentralSystemDecidesAndTheCacheRemembers) {
    AuthRig rig;
    rig.Init();
    rig.central["ABC123"] = {"Accepted", "2024-03-02T10:20:30Z", "PARENT1"};
    EXPECT_EQ(rig.Ask("ABC123", 1), 2);
    EXPECT_STREQ(rig.Rec(1).idTag, "ABC123");
    EXPECT_STREQ(rig.Rec(1).parentIdTag, "PARENT1");
    EXPECT_EQ(rig.Ask("BLOCKED", 2), 3);
    EXPECT_STREQ(rig.Rec(2).idTag, "");
    EXPECT_EQ(rig.calls, 2);
    EXPECT_EQ(rig.CacheFile(), "ABC123| 1709374830| PARENT1|0\r\nBLOCKED| | |1\r\n");
}

TEST(TarnetAuth, ACallErrorRejectsAndALostLinkFallsBackToTheOfflineRules) {
    AuthRig rig;
    rig.app->configValues.OfflinePolicy = 1;
    rig.Init();
    rig.callError = 4;
    EXPECT_EQ(rig.Ask("ABC123", 1), 3);
    EXPECT_NE(rig.LogText().find("[Info][Authorize] Call Error:4"), std::string::npos);

    rig.callError = 0;
    rig.dropLink = true;
    EXPECT_EQ(rig.Ask("ABC123", 1), 2);  // OfflinePolicy 1
    EXPECT_NE(rig.LogText().find("[Info][Authorize] Backend disconnect"), std::string::npos);
    EXPECT_FALSE(TestBit(*rig.x, kBitAuthorize));
}

// The pass asks and goes on: the answer decides in a later pass, and one that
// never comes falls back to the offline rules after 120 s.
TEST(TarnetAuth, AnAwaitedAuthorizeHoldsNoPass) {
    AuthRig rig;
    rig.app->configValues.OfflinePolicy = 1;
    rig.Init();
    PutText(rig.app->authIdTag, "ABC123");
    rig.app->authConnectorId = 1;
    rig.app->authKind = 0;
    const std::int64_t t0 = rig.clock.MonotonicMs();
    rig.tarnet.AuthMgmt();
    EXPECT_EQ(rig.clock.MonotonicMs(), t0);  // no sleep inside the pass
    EXPECT_TRUE(TestBit(*rig.x, kBitAuthorize));
    EXPECT_EQ(rig.app->authResult, 1);
    EXPECT_STREQ(rig.app->authIdTag, "ABC123");
    for (int pass = 1; pass < 120; ++pass) {
        rig.clock.Advance(1000);
        rig.tarnet.AuthMgmt();
        ASSERT_STREQ(rig.app->authIdTag, "ABC123") << pass;
    }
    rig.clock.Advance(1000);
    rig.tarnet.AuthMgmt();
    EXPECT_EQ(rig.app->authResult, 2);  // OfflinePolicy 1
    EXPECT_FALSE(TestBit(*rig.x, kBitAuthorize));
    EXPECT_NE(rig.LogText().find("[Info][Authorize] Backend disconnect"), std::string::npos);
}

TEST(TarnetAuth, OfflineRules) {
    struct Case {
        const char* name;
        std::uint8_t localOffline, cacheOn, unknownOk;
        std::int32_t policy;
        const char* card;
        int result;
    };
    // The cache holds GOOD (accepted), BLOCKED (refused) and OLD (expired).
    const Case cases[] = {
        {"policy 1 takes any card", 1, 1, 0, 1, "NOBODY", 2},
        {"policy 1 takes a blocked card", 1, 1, 0, 1, "BLOCKED", 2},
        {"no local authorization: nothing", 0, 1, 1, 1, "GOOD", 3},
        {"policy 2 refuses", 1, 1, 1, 2, "GOOD", 3},
        {"cached card", 1, 1, 0, 0, "good", 2},
        {"blocked card", 1, 1, 1, 0, "BLOCKED", 3},
        {"expired card", 1, 1, 1, 0, "OLD", 3},
        {"unknown card allowed", 1, 1, 1, 0, "NOBODY", 2},
        {"unknown card refused", 1, 1, 0, 0, "NOBODY", 3},
        {"no cache, no list", 1, 0, 1, 0, "GOOD", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AuthRig rig;
        auto& cv = rig.app->configValues;
        cv.LocalAuthorizeOffline = c.localOffline;
        cv.AuthorizationCacheEnabled = c.cacheOn;
        cv.AllowOfflineTxForUnknownId = c.unknownOk;
        cv.OfflinePolicy = c.policy;
        rig.Init();
        rig.tarnet.Cache().Update("GOOD", "", "G", 0);
        rig.tarnet.Cache().Update("BLOCKED", "", "", 1);
        rig.tarnet.Cache().Update("OLD", "2024-03-01T10:20:30Z", "", 0);
        rig.Offline();
        EXPECT_EQ(rig.Ask(c.card, 1), c.result);
        EXPECT_EQ(rig.calls, 0);
    }
}

TEST(TarnetAuth, PreAuthorizeTakesACachedCardWithoutAsking) {
    AuthRig rig;
    rig.app->configValues.LocalPreAuthorize = 1;
    rig.Init();
    rig.tarnet.Cache().Update("GOOD", "", "G", 0);
    EXPECT_EQ(rig.Ask("GOOD", 1), 2);
    EXPECT_STREQ(rig.Rec(1).parentIdTag, "G");
    EXPECT_EQ(rig.calls, 0);
    EXPECT_EQ(rig.Ask("OTHER", 1), 3);
    EXPECT_EQ(rig.calls, 1);
}

TEST(TarnetAuth, StopsByTheStartingCardOrItsGroup) {
    AuthRig rig;
    rig.Init();
    rig.central["MATE"] = {"Accepted", "", "team"};
    rig.central["LONER"] = {"Accepted", "", ""};
    rig.central["RIVAL"] = {"Accepted", "", "OTHER"};
    fennick::Rating(*rig.app, 1).hasConnectorLock = 1;
    std::strcpy(rig.Rec(1).idTag, "ABC123");
    std::strcpy(rig.Rec(1).parentIdTag, "TEAM");

    EXPECT_EQ(rig.Ask("abc123", 1, 1), 2);
    EXPECT_EQ(rig.calls, 0);  // no CALL for the starting card
    EXPECT_EQ(rig.Rec(1).unlockReq, 1);

    rig.Rec(1).unlockReq = 0;
    EXPECT_EQ(rig.Ask("MATE", 1, 1), 2);
    EXPECT_EQ(rig.calls, 1);
    EXPECT_NE(rig.LogText().find("ParentID check ok. Connector ID=1, connector parent ID=TEAM, card parent ID=team"),
              std::string::npos);
    EXPECT_EQ(rig.Ask("RIVAL", 1, 1), 3);
    EXPECT_NE(rig.LogText().find("ParentID check fail."), std::string::npos);

    rig.Rec(2).idTag[0] = 'Z';
    EXPECT_EQ(rig.Ask("LONER", 2, 1), 3);
    EXPECT_NE(rig.LogText().find("Connector parent ID and card parent ID are empty"), std::string::npos);
    EXPECT_EQ(rig.Rec(2).unlockReq, 0);
}

TEST(TarnetAuth, RequestsOutsideTheRulesAreRejectedAtOnce) {
    struct Case {
        const char* name;
        std::int32_t connector;
        std::uint8_t kind;
        std::uint8_t status1;
    };
    const Case cases[] = {
        {"connector beyond N", 3, 0, 0},
        {"negative connector", -1, 0, 0},
        {"stop for any connector", 0, 1, 0},
        {"unknown kind", 1, 2, 0},
        {"connector charging", 1, 0, fennick::kStsCharging},
        {"connector faulted", 1, 0, fennick::kStsFaulted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AuthRig rig;
        rig.Init();
        rig.central["ABC123"] = {"Accepted", "", ""};
        rig.Rec(1).status = c.status1;
        EXPECT_EQ(rig.Ask("ABC123", c.connector, c.kind), 3);
        EXPECT_EQ(rig.calls, 0);
        EXPECT_STREQ(rig.Rec(1).idTag, "");
    }
}

TEST(TarnetAuth, AStartForAnyConnectorGoesToEveryFreeOne) {
    AuthRig rig;
    rig.Init();
    rig.central["ABC123"] = {"Accepted", "", "P"};
    rig.Rec(1).status = fennick::kStsCharging;
    rig.Rec(2).status = fennick::kStsPreparing;
    EXPECT_EQ(rig.Ask("ABC123", 0), 2);
    EXPECT_STREQ(rig.Rec(1).idTag, "");
    EXPECT_STREQ(rig.Rec(2).idTag, "ABC123");
    EXPECT_STREQ(rig.Rec(2).parentIdTag, "P");
    EXPECT_EQ(rig.calls, 1);
}

TEST(TarnetAuth, AReservedConnectorTakesItsCardOrItsGroup) {
    struct Case {
        const char* card;
        int result;
    };
    const Case cases[] = {{"HOLDER", 2}, {"MATE", 2}, {"STRANGER", 3}, {"BLOCKED", 3}};
    for (const Case& c : cases) {
        AuthRig rig;
        rig.Init();
        rig.central["HOLDER"] = {"Accepted", "", ""};
        rig.central["MATE"] = {"Accepted", "", "GROUP"};
        rig.central["STRANGER"] = {"Accepted", "", "ELSE"};
        rig.Rec(2).status = fennick::kStsReserved;
        Reservation& r = rig.tarnet.Runtime(2).reservation;
        PutText(r.idTag, "HOLDER");
        PutText(r.parentIdTag, "group");
        EXPECT_EQ(rig.Ask(c.card, 2), c.result) << c.card;
    }
}

}  // namespace
