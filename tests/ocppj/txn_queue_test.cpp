#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <functional>

#include "auth_cache.h"
#include "files.h"
#include "tarnet.h"
#include "testroot.h"
#include "txn_queue.h"

using namespace ocppj;

namespace {

QueueRecord Start(const char* idTag) {
    QueueRecord r;
    r.kind = 1;
    r.connectorId = 2;
    r.idTag = idTag;
    r.meter = 1234;
    r.reservationId = 5;
    r.timestamp = 4000000000u;
    return r;
}

TEST(TxnQueueLine, EachKindIsWrittenInItsExactLine) {
    QueueRecord stop = Start("ABC123");
    stop.kind = 2;
    stop.meter = -7;
    stop.timestamp = 1709288430;
    stop.transactionId = 77;
    stop.reason = 10;
    QueueRecord meter;
    meter.kind = 3;
    meter.connectorId = 2;
    meter.timestamp = 1709288430;
    meter.context = "Sample.Periodic";
    meter.values = {"x", "x", "x", "1234", "55", "x"};
    const struct {
        QueueRecord r;
        const char* line;
    } cases[] = {
        {Start("ABC123"), "1:2:\"ABC123\":1234:5:4000000000"},
        {stop, "2:2:\"ABC123\":-7:1709288430:77:10"},
        {meter, "3:2:0:1709288430:Sample.Periodic:x:x:x:1234:55:x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatQueueLine(c.r), c.line);
        std::string error;
        auto back = ParseQueueLine(c.line, &error);
        ASSERT_TRUE(back) << c.line << " " << error;
        EXPECT_EQ(FormatQueueLine(*back), c.line);
    }
}

TEST(TxnQueueLine, AnyIdTagWithoutALineFeedComesBack) {
    for (const char* tag : {"", "a\":1", "\"", ":::", "\"x\":1:2:3", "12345678901234567890", "a|b c"}) {
        const std::string line = FormatQueueLine(Start(tag));
        ASSERT_FALSE(line.empty()) << tag;
        auto back = ParseQueueLine(line, nullptr);
        ASSERT_TRUE(back) << line;
        EXPECT_EQ(back->idTag, tag);
        EXPECT_EQ(back->meter, 1234);
        EXPECT_EQ(back->reservationId, 5);
        EXPECT_EQ(back->timestamp, 4000000000u);
    }
    EXPECT_EQ(FormatQueueLine(Start("two\nlines")), "");
}

TEST(TxnQueueLine, ALineThatDoesNotReadSaysWhichField) {
    const struct {
        const char* line;
        const char* error;
    } cases[] = {
        {"", "kind"},
        {"4:1:2", "kind"},
        {"1", "kind"},
        {"1:", "connector"},
        {"1:x:\"A\":1:0:5", "connector"},
        {"1:1:A:1:0:5", "idTag quotes"},
        {"1:1:\"A\":1:0", "fields after the idTag"},
        {"1:1:\"A\":1:0:5:6", "idTag quotes"},
        {"1:1:\"123456789012345678901\":1:0:5", "idTag length"},
        {"1:1:\"A\":1.5:0:5", "meterStart"},
        {"1:1:\"A\":1:0:-5", "timestamp"},
        {"1:1:\"A\":1:0:4294967296", "timestamp"},
        {"1:1:\"A\":2147483648:0:5", "meterStart"},
        {"2:1:\"A\":1:5:77:11", "reason"},
        {"2:1:\"A\":1:5:x:3", "transactionId"},
        {"3:1:0:5:Sample.Periodic:x:x:x:1:2", "number of fields"},
        {"3:1:0:5:Sample.Periodic:x:x:x:1:2:x:x", "number of fields"},
        {"3:1:0:5:Sampled:x:x:x:1:2:x", "context"},
        {"3:1:0:5:Trigger:1e5:x:x:1:2:x", "Voltage"},
        {"3:1:0:5:Trigger:x:x:x::2:x", "Energy.Active.Import.Register"},
        {"3:1:0:5:Trigger:x:x:x:1:2:x\n", "line feed inside the line"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(ParseQueueLine(c.line, &error)) << c.line;
        EXPECT_EQ(error, c.error) << c.line;
    }
}

struct QueueRig {
    QueueRig() {
        std::filesystem::create_directories(root.path() + "/Storage/Tarnet");
        q.Init("/Storage/Tarnet/");
    }
    std::string Content() { return platform::ReadTextFile(q.Path(), 1 << 20); }
    TestRoot root;
    TxnQueue q;
};

// Every writer of Tarnet's files, cut at each of its writes in turn: the file
// is the old one or the new one, never a mix, and the next write after the
// power is back works.
TEST(TarnetFiles, APowerCutAtAnyWriteLeavesTheOldFileOrTheNewOne) {
    struct Case {
        const char* name;
        std::function<void(QueueRig&)> setUp;
        std::function<bool(QueueRig&)> write;
        std::function<std::string(QueueRig&)> read;
        std::string before, after;
    };
    auto cache = [](QueueRig&) {
        AuthCache c;
        c.Init("/Storage/Tarnet/");
        return c;
    };
    auto cacheFile = [](QueueRig& r) {
        return platform::ReadTextFile(r.root.path() + "/Storage/Tarnet/[Fennick]OCPP_Cache", 1 << 20);
    };
    const Case cases[] = {
        {"queue append", [](QueueRig& r) { r.q.Append("1:1:\"A\":0:0:1", false); },
         [](QueueRig& r) { return r.q.Append("2:1:\"A\":5:2:0:3", false); }, [](QueueRig& r) { return r.Content(); },
         "1:1:\"A\":0:0:1\n", "1:1:\"A\":0:0:1\n2:1:\"A\":5:2:0:3\n"},
        {"queue drop",
         [](QueueRig& r) { r.q.Append("1:1:\"A\":0:0:1", false), r.q.Append("2:1:\"A\":5:2:0:3", false); },
         [](QueueRig& r) { return r.q.DropFirst(); }, [](QueueRig& r) { return r.Content(); },
         "1:1:\"A\":0:0:1\n2:1:\"A\":5:2:0:3\n", "2:1:\"A\":5:2:0:3\n"},
        {"cache update", [&](QueueRig& r) { cache(r).Update("OLD1", "", "", 1); },
         [&](QueueRig& r) { return cache(r).Update("NEW1", "", "P1", 0) == 0; }, cacheFile, "OLD1| | |1\r\n",
         "OLD1| | |1\r\nNEW1| | P1|0\r\n"},
        {"value file", [](QueueRig&) { WriteValueFile("/Storage/Tarnet/Cnntr1/", "TxnID", "77"); },
         [](QueueRig&) { return WriteValueFile("/Storage/Tarnet/Cnntr1/", "TxnID", "0"); },
         [](QueueRig&) { return ReadValueFile("/Storage/Tarnet/Cnntr1/", "TxnID") + "\n"; }, "77\n", "0\n"},
    };
    for (const Case& c : cases) {
        for (int step = 0;; ++step) {
            SCOPED_TRACE(std::string(c.name) + " cut at write " + std::to_string(step));
            QueueRig rig;
            c.setUp(rig);
            ASSERT_EQ(c.read(rig), c.before);
            platform::SetWriteCutForTest(step);
            const bool done = c.write(rig);
            platform::SetWriteCutForTest(-1);
            const std::string got = c.read(rig);
            EXPECT_TRUE(got == c.before || got == c.after) << got;
            if (done) {
                EXPECT_EQ(got, c.after);
                break;
            }
            EXPECT_TRUE(c.write(rig));
            EXPECT_EQ(c.read(rig), c.after);
            ASSERT_LT(step, 20);
        }
    }
}

TEST(TxnQueue, TheFirstLineGoesAndLinesAddedMeanwhileStay) {
    QueueRig rig;
    EXPECT_TRUE(rig.q.Empty());
    EXPECT_FALSE(rig.q.First());
    ASSERT_TRUE(rig.q.Append("1:1:\"A\":0:0:1", false));
    EXPECT_EQ(*rig.q.First(), "1:1:\"A\":0:0:1");
    ASSERT_TRUE(rig.q.Append("2:1:\"A\":5:2:0:3", false));
    ASSERT_TRUE(rig.q.DropFirst());
    EXPECT_EQ(rig.Content(), "2:1:\"A\":5:2:0:3\n");
    ASSERT_TRUE(rig.q.SetAsideFirst());
    EXPECT_TRUE(rig.q.Empty());
    EXPECT_EQ(platform::ReadTextFile(rig.root.path() + "/Storage/Tarnet/BadTxnMsgQueue"), "2:1:\"A\":5:2:0:3\n");
}

TEST(TxnQueue, PastItsLimitMeterLinesAreRefusedButStartsAndStopsGoIn) {
    QueueRig rig;
    const std::string big(kQueueMeterLimit, '#');
    ASSERT_TRUE(platform::ReplaceFile(rig.q.Path(), big.substr(0, kQueueMeterLimit - 1) + "\n"));
    EXPECT_FALSE(rig.q.Append("3:1:0:9:Trigger:x:x:x:7:x:x", true));
    EXPECT_EQ(rig.q.Size(), kQueueMeterLimit);
    EXPECT_TRUE(rig.q.Append("2:1:\"A\":5:2:0:3", false));
    EXPECT_EQ(rig.q.Size(), kQueueMeterLimit + 16);
}

}  // namespace
