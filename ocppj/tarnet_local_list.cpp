// Tarnet's local authorization list: SendLocalList, GetLocalListVersion and
// the lookup the card authorization uses.
#include "clock.h"
#include "messages.h"
#include "tarnet.h"

namespace ocppj {

int Tarnet::AuthByLocalList(const std::string& idTag, std::string* parent) {
    std::string content;
    if (!localList_.Read(&content)) {
        Log("[Error][AuthByLocalList] open failed");
        return kListRefused;
    }
    std::string text;
    const int r = CheckLocalListText(content, idTag, platform::GetClock().WallSeconds(), parent, &text);
    Log(text);
    return r;
}

void Tarnet::SendLocalListConf() {
    SendLocalListSlot& s = SendLocalListOf(*x_);
    if (!ConfigTrue("LocalAuthListEnabled")) {
        PutText(s.status, "NotSupported");
        return;
    }
    const std::string type = FieldText(s.updateType);
    int count = 0;
    while (count < kLocalListSlotEntries && s.entries[count].idTag[0] != '\0') ++count;

    // The new list is made whole in memory and replaces the file in one step:
    // a refused entry or a failed write leaves the old list and version.
    std::string content;
    const char* status = "Accepted";
    if (type == "Differential") {
        if (s.listVersion <= localListVersion_) status = "VersionMismatch";
        else if (!localList_.Read(&content)) status = "Failed";
    } else if (type == "Full") {
        for (int i = 0; i < count; ++i)
            if (s.entries[i].status[0] == '\0') status = "Failed";
    } else {
        status = "Failed";
    }
    for (int i = 0; i < count && std::string(status) == "Accepted"; ++i)
        if (!UpdateLocalListText(content, s.entries[i])) {
            Log("[Error][UpdateLocalList] entry " + std::to_string(i) + " refused");
            status = "Failed";
        }
    if (std::string(status) == "Accepted") {
        const std::int32_t version = LocalListTextEmpty(content) ? 0 : s.listVersion;
        if (!localList_.Write(content) || !localList_.WriteVersion(version)) {
            Log("[Error][UpdateLocalList] write failed");
            status = "Failed";
        } else {
            localListVersion_ = version;
        }
    }
    PutText(s.status, status);
    Log("[Info][Tarnet] SendLocalList " + type + " version " + std::to_string(s.listVersion) + " of " +
        std::to_string(count) + ": " + status);
}

void Tarnet::GetLocalListVersionConf() {
    GetLocalListVersionOf(*x_).listVersion = ConfigTrue("LocalAuthListEnabled") ? localListVersion_ : -1;
}

}  // namespace ocppj
