#include "local_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "messages.h"
#include "ocppj_rig.h"
#include "tarnet.h"

using namespace ocppj;

namespace {

constexpr std::int64_t kListNow = 1709288430;  // 2024-03-01T10:20:30Z

LocalListEntry Entry(const std::string& tag, const std::string& status, const std::string& expiry = "",
                     const std::string& parent = "") {
    LocalListEntry e{};
    PutText(e.idTag, tag);
    PutText(e.status, status);
    PutText(e.expiryDate, expiry);
    PutText(e.parentIdTag, parent);
    return e;
}

TEST(LocalListText, LinesAreWrittenInOrderAndReplacedWhole) {
    std::string list;
    ASSERT_TRUE(UpdateLocalListText(list, Entry("ABC", "Accepted")));
    ASSERT_TRUE(UpdateLocalListText(list, Entry("ABCD", "Blocked", "2024-03-01T10:20:31Z", "P1")));
    ASSERT_TRUE(UpdateLocalListText(list, Entry("XYZ", "Accepted")));
    EXPECT_EQ(list, "ABC:~::~Accepted\r\nABCD:~1709288431:P1:~Blocked\r\nXYZ:~::~Accepted\r\n");
    // Removing a tag that begins another keeps the other; a new status goes last.
    ASSERT_TRUE(UpdateLocalListText(list, Entry("abc", "")));
    EXPECT_EQ(list, "ABCD:~1709288431:P1:~Blocked\r\nXYZ:~::~Accepted\r\n");
    ASSERT_TRUE(UpdateLocalListText(list, Entry("abcd", "Accepted")));
    EXPECT_EQ(list, "XYZ:~::~Accepted\r\nabcd:~::~Accepted\r\n");

    struct Refused {
        const char* name;
        LocalListEntry entry;
    };
    const Refused refused[] = {
        {"separator in the idTag", Entry("A:~B", "Accepted")},
        {"line break in the idTag", Entry("A\r\nB", "Accepted")},
        {"separator in the parent", Entry("AB", "Accepted", "", "P:~")},
        {"line feed in the status", Entry("AB", "Accept\n")},
        {"expiry that is no date", Entry("AB", "Accepted", "tomorrow")},
        {"empty idTag", Entry("", "Accepted")},
    };
    for (const Refused& r : refused) {
        std::string copy = list;
        EXPECT_FALSE(UpdateLocalListText(copy, r.entry)) << r.name;
        EXPECT_EQ(copy, list) << r.name;
    }
}

TEST(LocalListText, LookupByIdTagInAnyCaseWithExpiryAndForm) {
    struct Case {
        const char* name;
        const char* content;
        const char* tag;
        int answer;
        const char* parent;
        const char* log;
    };
    const Case cases[] = {
        {"accepted", "X:~::~Blocked\r\nabc:~:PARENT:~Accepted\r\n", "ABC", kListAccepted, "PARENT", "Charge User ID Accept"},
        {"blocked", "ABC:~::~Blocked\r\n", "ABC", kListRefused, "", "Charge User ID Reject"},
        {"no parent separator", "ABC:~1709288431:~Accepted\r\n", "ABC", kListRefused, "", "Local List Form Failed: Parent ID"},
        {"expiry ahead, parent empty", "ABC:~1709288431::~Accepted\r\n", "ABC", kListAccepted, "", "Accept"},
        {"expiry equal to now", "ABC:~1709288430::~Accepted\r\n", "ABC", kListRefused, "", "Charge User ID Expired"},
        {"empty list", "0\n", "ABC", kListNotListed, "", "No Local List Info"},
        {"missing file", "", "ABC", kListNotListed, "", "No Local List Info"},
        {"entry after a long first line",
         "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX:~::~Blocked\r\n"
         "ABC:~::~Accepted\r\n",
         "ABC", kListAccepted, "", "Charge User ID Accept"},
        {"not listed", "ABCD:~::~Accepted\r\n", "ABC", kListNotListed, "", "Can't Find Charger User ID"},
        {"empty idTag", "ABC:~::~Accepted\r\n", "", kListNotListed, "", "Can't Find Charger User ID"},
        {"no expiry colon", "ABC:~Accepted\r\n", "ABC", kListRefused, "", "Form Failed: Expired Date"},
        {"torn status", "ABC:~::~Accepted", "ABC", kListRefused, "", "Form Failed: Status"},
        {"expiry not a number", "ABC:~12x::~Accepted\r\n", "ABC", kListRefused, "", "Form Failed: Expired Date"},
    };
    for (const Case& c : cases) {
        std::string parent, log;
        EXPECT_EQ(CheckLocalListText(c.content, c.tag, kListNow, &parent, &log), c.answer) << c.name;
        EXPECT_EQ(parent, c.parent) << c.name;
        EXPECT_NE(log.find(c.log), std::string::npos) << c.name << ": " << log;
    }
}

TEST(LocalListText, HeldToItsBytesAndEntries) {
    std::string list;
    for (int i = 0; i < 4999; ++i) list += "T" + std::to_string(i) + ":~::~Accepted\r\n";
    ASSERT_TRUE(UpdateLocalListText(list, Entry("T4999", "Accepted")));
    std::string copy = list;
    EXPECT_FALSE(UpdateLocalListText(copy, Entry("ONE-MORE", "Accepted")));
    EXPECT_EQ(copy, list);
    EXPECT_TRUE(UpdateLocalListText(copy, Entry("T17", "Blocked")));  // a replacement still fits

    // At 5000 entries of the longest fields the list stays within its bytes.
    EXPECT_LE(5000u * (20 + 2 + 10 + 1 + 20 + 2 + 15 + 2), kLocalListMaxBytes);
}

struct ListRig : OcppjRig {
    ListRig() {
        app->configValues.LocalAuthListEnabled = 1;
        app->configValues.LocalAuthorizeOffline = 1;
        EXPECT_TRUE(tarnet.Init(*app, *x));
    }
    std::string Send(const char* type, int version, const std::vector<LocalListEntry>& entries) {
        SendLocalListSlot& s = SendLocalListOf(*x);
        std::memset(&s, 0, sizeof s);
        s.listVersion = version;
        PutText(s.updateType, type);
        for (std::size_t i = 0; i < entries.size(); ++i) s.entries[i] = entries[i];
        SetBit(*x, CommandBit(kCmdSendLocalList));
        active->ConfCommandHandling();
        return FieldText(s.status);
    }
    int Version() {
        SetBit(*x, CommandBit(kCmdGetLocalListVersion));
        active->ConfCommandHandling();
        return GetLocalListVersionOf(*x).listVersion;
    }
    std::string Dir() const { return root.path() + "/Storage/Tarnet/LocalList/"; }
    std::string File() const { return platform::ReadTextFile(Dir() + "LocalList", 1 << 20); }
    std::string VersionFile() const { return platform::ReadTextFile(Dir() + "Version"); }
    Tarnet tarnet;
    Tarnet* active = &tarnet;
};

TEST(LocalListCommands, SendLocalListAndItsVersion) {
    ListRig rig;
    EXPECT_EQ(rig.Version(), 0);
    EXPECT_EQ(rig.Send("Full", 3, {Entry("A1", "Accepted"), Entry("B2", "Blocked", "", "PA")}), "Accepted");
    EXPECT_EQ(rig.File(), "A1:~::~Accepted\r\nB2:~:PA:~Blocked\r\n");
    EXPECT_EQ(rig.VersionFile(), "3\n");
    EXPECT_EQ(rig.Version(), 3);

    struct Step {
        const char* type;
        int version;
        std::vector<LocalListEntry> entries;
        const char* status;
        const char* file;  // nullptr: unchanged
        int versionAfter;
    };
    const Step steps[] = {
        {"Differential", 3, {Entry("C3", "Accepted")}, "VersionMismatch", nullptr, 3},
        {"Full", 9, {Entry("C3", "Accepted"), Entry("D4", "")}, "Failed", nullptr, 3},
        {"Partial", 9, {Entry("C3", "Accepted")}, "Failed", nullptr, 3},
        {"Differential", 4, {Entry("C3", "Accepted"), Entry("a1", "")}, "Accepted",
         "B2:~:PA:~Blocked\r\nC3:~::~Accepted\r\n", 4},
        {"Differential", 5, {Entry("E5", "Accepted"), Entry("X:~Y", "Accepted")}, "Failed", nullptr, 4},
        {"Differential", 6, {Entry("b2", ""), Entry("C3", "")}, "Accepted", "0\n", 0},
        {"Full", 7, {Entry("F6", "Accepted")}, "Accepted", "F6:~::~Accepted\r\n", 7},
        {"Full", 8, {}, "Accepted", "0\n", 0},
    };
    for (const Step& s : steps) {
        const std::string before = rig.File();
        EXPECT_EQ(rig.Send(s.type, s.version, s.entries), s.status) << s.type << " " << s.version;
        EXPECT_EQ(rig.File(), s.file ? s.file : before) << s.type << " " << s.version;
        EXPECT_EQ(rig.Version(), s.versionAfter) << s.type << " " << s.version;
        EXPECT_EQ(rig.VersionFile(), std::to_string(s.versionAfter) + "\n");
    }
    // The version comes back with the next start.
    rig.Send("Full", 12, {Entry("G7", "Accepted")});
    Tarnet again;
    ASSERT_TRUE(again.Init(*rig.app, *rig.x));
    EXPECT_EQ(again.LocalListVersion(), 12);

    rig.app->configValues.LocalAuthListEnabled = 0;
    Tarnet off;
    ASSERT_TRUE(off.Init(*rig.app, *rig.x));
    rig.active = &off;
    EXPECT_EQ(rig.Version(), -1);
    EXPECT_EQ(rig.Send("Full", 13, {Entry("H8", "Accepted")}), "NotSupported");
    EXPECT_EQ(rig.File(), "G7:~::~Accepted\r\n");
}

TEST(LocalListCommands, AFailedWriteLeavesTheOldListAndVersion) {
    ListRig rig;
    ASSERT_EQ(rig.Send("Full", 2, {Entry("A1", "Accepted")}), "Accepted");
    // A cut during the last write left its temporary file torn: it is no list.
    platform::ReplaceFile(rig.Dir() + "LocalList.tmp", std::string("B2:~:~Acc"));
    std::string parent;
    EXPECT_EQ(rig.tarnet.AuthByLocalList("A1", &parent), kListAccepted);
    EXPECT_EQ(rig.tarnet.AuthByLocalList("B2", &parent), kListNotListed);
    // The next write cannot make its temporary file: nothing changes.
    std::filesystem::remove(rig.Dir() + "LocalList.tmp");
    std::filesystem::create_directory(rig.Dir() + "LocalList.tmp");
    EXPECT_EQ(rig.Send("Full", 3, {Entry("B2", "Accepted")}), "Failed");
    EXPECT_EQ(rig.File(), "A1:~::~Accepted\r\n");
    EXPECT_EQ(rig.Version(), 2);
    std::filesystem::remove(rig.Dir() + "LocalList.tmp");
    EXPECT_EQ(rig.Send("Full", 3, {Entry("B2", "Accepted")}), "Accepted");
    EXPECT_EQ(rig.Version(), 3);
}

TEST(LocalListCommands, OfflineCardsAreDecidedByTheList) {
    ListRig rig;
    rig.Send("Full", 1, {Entry("good", "Accepted", "", "P1"), Entry("old", "Accepted", "2024-03-01T10:20:30Z"),
                         Entry("bad", "Blocked")});
    struct Case {
        const char* tag;
        std::uint8_t result;
    };
    const Case cases[] = {{"GOOD", 2}, {"old", 3}, {"bad", 3}, {"unknown", 3}};
    for (const Case& c : cases) {
        PutText(rig.app->authIdTag, c.tag);
        rig.app->authConnectorId = 1;
        rig.tarnet.AuthMgmt();
        EXPECT_EQ(rig.app->authResult, c.result) << c.tag;
        if (c.result == 2) {
            EXPECT_EQ(FieldText(fennick::ConnectorRec(*rig.app, 1).parentIdTag), "P1");
        }
        std::memset(fennick::ConnectorRec(*rig.app, 1).idTag, 0, 21);
    }
}

}  // namespace
