// Tarnet with a charge going on: the station side (status ring, meter block,
// authorization mailbox) and the transport (answers to StartTransaction,
// StopTransaction and MeterValues) are played by the test on the test clock.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "messages.h"
#include "ocpp_time.h"
#include "ocppj_rig.h"
#include "tarnet.h"

struct TxnRig : OcppjRig {
    TxnRig() {
        setenv("TZ", "UTC", 1);
        tzset();
        auto& cv = app->configValues;
        cv.AuthorizationCacheEnabled = 1;
        cv.StopTransactionOnInvalidId = 1;
        cv.TransactionMessageAttempts = 3;
        cv.TransactionMessageRetryInterval = 30;
        app->connectorRatings[0].hasConnectorLock = 1;
        wait.onSleep = [this] { Transport(); };
    }
    void Init() {
        ASSERT_TRUE(tarnet.Init(*app, *x));
        Online();
    }
    void Online() {
        std::snprintf(x->boot.status, sizeof x->boot.status, "Accepted");
        x->wsConnected = 1;
        x->backendReachable = 1;
        tarnet.CheckBackendCnnt();
    }
    void Offline() {
        x->backendReachable = 0;
        ocppj::ClearAllFlags(*x);
        tarnet.CheckBackendCnnt();
    }
    // Fennick: a request bit set is one CALL; the answer clears it.
    void Transport() {
        using namespace ocppj;
        for (FlagBit bit : {kBitStartTransaction, kBitStopTransaction, kBitMeterValues}) {
            if (!TestBit(*x, bit)) continue;
            if (holdAnswers) return;
            if (dropLink) {
                x->backendReachable = 0;
                ClearBit(*x, bit);
                return;
            }
            std::string call;
            if (bit.mask == kBitStartTransaction.mask) {
                const auto& s = x->startTransaction;
                call = "Start " + std::to_string(s.connectorId) + " " + FieldText(s.idTag) + " " +
                       std::to_string(s.meterStart) + " " + FieldText(s.timestamp);
            } else if (bit.mask == kBitStopTransaction.mask) {
                const auto& s = x->stopTransaction;
                call = "Stop " + std::to_string(s.transactionId) + " " + FieldText(s.idTag) + " " +
                       std::to_string(s.meterStop) + " " + StopTransaction_StopReason[s.reason];
            } else {
                const auto& m = x->meterValues;
                call = "Meter " + std::to_string(m.connectorId) + " " + std::to_string(m.transactionId);
                for (const SampledValue& v : m.meterValue[0].sampledValue) {
                    if (v.value[0] == '\0') break;
                    call += std::string(" ") + v.measurand + "=" + v.value;
                }
            }
            calls.push_back(call);
            const Request r = bit.mask == kBitStartTransaction.mask  ? Request::StartTransaction
                              : bit.mask == kBitStopTransaction.mask ? Request::StopTransaction
                                                                     : Request::MeterValues;
            ClearAnswerFields(r, *x);
            CallAnswer(*x, r) = kAnswered | callError;
            if (callError != 0) {
                x->lastCallResult = callError;
            } else if (bit.mask == kBitStartTransaction.mask) {
                PutText(x->startTransaction.status, startStatus);
                x->startTransaction.transactionId = nextTxnId++;
            } else if (bit.mask == kBitStopTransaction.mask) {
                PutText(x->stopTransaction.status, startStatus);
            }
            ClearBit(*x, bit);
        }
    }
    // Bastide appends a status record for connector c.
    void Status(int c, std::uint8_t status) {
        const std::uint8_t w = app->statusRingWriteIndex;
        fennick::CpStatus& s = app->statusRing[w];
        std::memset(&s, 0, sizeof s);
        s.connectorId = c;
        s.status = status;
        std::snprintf(s.timestamp, sizeof s.timestamp, "%s", ocppj::EpochToUTC(clock.WallSeconds()).c_str());
        fennick::PublishRingWriteIndex(*app, static_cast<std::uint8_t>(w + 1));
    }
    // One pass of Tarnet's managers that take part in a charge. Status
    // notifications are answered at once.
    void Pass() {
        clock.Advance(1000);
        tarnet.CheckBackendCnnt();
        tarnet.AuthMgmt();
        tarnet.TransactionMgmt();
        tarnet.StatusNotifMgmt();
        ocppj::ClearBit(*x, ocppj::kBitStatusNotification);
        if (withMeter) tarnet.MeterValueMgmt();
        if (withReplay) tarnet.TxnMsgQueueBufMgmt();
        Transport();
    }
    void Passes(int n) {
        for (int i = 0; i < n; ++i) Pass();
    }
    // Card authorized on connector c (as AuthMgmt leaves it), then the
    // station charges: Preparing, Charging; the StartTransaction answered.
    void Begin(int c, const char* idTag = "ABC123") {
        ocppj::PutText(fennick::ConnectorRec(*app, c).idTag, idTag);
        Status(c, fennick::kStsPreparing);
        Pass();
        Status(c, fennick::kStsCharging);
        Pass();
        Pass();
        Pass();  // the start's answer is taken in the pass after it came
    }
    // The station asks: kind 0 start, 1 stop.
    int Ask(const char* idTag, std::int32_t connector, std::uint8_t kind, std::uint8_t reason = 3) {
        ocppj::PutText(app->authIdTag, idTag);
        app->authConnectorId = connector;
        app->authKind = kind;
        app->authStopReason = reason;
        Pass();
        return app->authResult;
    }
    fennick::ConnectorRecord& Rec(int c) { return fennick::ConnectorRec(*app, c); }
    std::string File(const std::string& rel) {
        return platform::ReadTextFile(root.path() + "/Storage/Tarnet/" + rel, 4 << 20);
    }
    bool Exists(const std::string& rel) {
        return std::filesystem::exists(root.path() + "/Storage/Tarnet/" + rel);
    }
    std::string Epoch() const { return std::to_string(const_cast<TxnRig*>(this)->clock.WallSeconds()); }

    WaitClock wait{clock};
    platform::ScopedClock scopedWait{wait};
    ocppj::Tarnet tarnet;
    std::vector<std::string> calls;
    std::string startStatus = "Accepted";
    std::int32_t nextTxnId = 77;
    std::uint8_t callError = 0;
    bool dropLink = false;
    bool holdAnswers = false;
    bool withMeter = false;
    bool withReplay = true;  // every transaction message goes out through the queue
};
