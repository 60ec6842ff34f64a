// Quillon's loop against the OCPP 1.5 central system of sim/central15 (npm
// soap serving the official WSDL, which checks every request against it),
// over real loopback sockets on a port the central system picks, HTTP and
// HTTPS. The test is the station controller; Bastide's OCPP 1.5 bridge runs
// beside the loop; every pause and time-out of the loop runs on the test
// clock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "files.h"
#include "ocpp15_status.h"
#include "quillon.h"
#include "regmap_fields.h"
#include "testroot.h"

extern char** environ;

namespace {

using namespace regmap;
namespace slot = ocpps::slot;

int RunProgram(const std::vector<std::string>& args, pid_t* background = nullptr) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    if (background) {
        *background = pid;
        return 0;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The lines of the central system's log, each a JSON object as text.
std::vector<std::string> Lines(const std::string& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}
bool Has(const std::string& line, const std::string& text) { return line.find(text) != std::string::npos; }

// The requests the central system accepted ("event":"request"), in order.
std::vector<std::string> Requests(const std::string& log) {
    std::vector<std::string> out;
    for (const auto& l : Lines(log))
        if (Has(l, "\"event\":\"request\"")) out.push_back(l);
    return out;
}
std::string Action(const std::string& request) {
    const auto at = request.find("\"action\":\"") + 10;
    return request.substr(at, request.find('"', at) - at);
}

// Certificates made once by the openssl command: a CA with a server
// certificate for 127.0.0.1, another CA with one, and the right CA's
// certificate for another host.
class Certificates {
public:
    explicit Certificates(const std::string& dir) : dir_(dir) {
        for (const char* ca : {"ca", "other-ca"}) {
            Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                     "-subj", std::string("/CN=") + ca, "-keyout", Path(ca, "key"), "-out", Path(ca, "pem")});
        }
        Server("ca", "good", "DNS:127.0.0.1,IP:127.0.0.1");
        Server("other-ca", "stranger", "DNS:127.0.0.1,IP:127.0.0.1");
        Server("ca", "wrong-host", "DNS:cs.example.org");
    }
    std::string Path(const std::string& name, const std::string& ext) const { return dir_ + "/" + name + "." + ext; }

private:
    void Openssl(std::vector<std::string> args) {
        args.insert(args.begin(), "openssl");
        ASSERT_EQ(RunProgram(args), 0) << args[1];
    }
    void Server(const std::string& ca, const std::string& name, const std::string& san) {
        Openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=" + name,
                 "-keyout", Path(name, "key"), "-out", Path(name, "csr")});
        std::ofstream(Path(name, "ext")) << "subjectAltName=" << san << "\n";
        Openssl({"x509", "-req", "-in", Path(name, "csr"), "-CA", Path(ca, "pem"), "-CAkey", Path(ca, "key"),
                 "-CAcreateserial", "-days", "2", "-extfile", Path(name, "ext"), "-out", Path(name, "pem")});
    }
    std::string dir_;
};

class QuillonLinkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/quillon-link-XXXXXX";
        dir_ = mkdtemp(tmpl);
        certs_ = new Certificates(dir_);
    }
    static void TearDownTestSuite() {
        delete certs_;
        RunProgram({"rm", "-rf", dir_});
    }

    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        root.Make("/Storage/SystemLog");
        map.set(SHRMEM_MODEL_NAME, "DC50-CC");
        map.set(SHRMEM_SERIAL_NUMBER, "VE50CC000123");
        map.set(SHRMEM_ETH0_MAC, "02:00:00:00:c0:01");
        map.set(SHRMEM_FW_VERSION, 0x01020A1F);
        map.set(slot::ICCID, "8949000000000000001");
        map.set(slot::IMSI, "262010000000001");
        map.set(slot::CHARGE_BOX_ID, "CB-0001");
        const std::uint8_t address[] = {0x01, 0x00, 0x00, 0x7F};  // 127.0.0.1, last octet first
        std::memcpy(map.bytes(Bytes{266, 4}), address, 4);
        log_ = dir_ + "/central-" + std::to_string(++runs_) + ".log";
    }
    void TearDown() override {
        if (central_ > 0) {
            kill(central_, SIGTERM);
            waitpid(central_, nullptr, 0);
        }
        if (HasFailure()) {
            for (const auto& l : Lines(log_)) std::printf("central: %.600s\n", l.c_str());
            std::printf("%s\n", SystemLog().c_str());
        }
    }

    // Starts the central system with an answer script; TLS with the named
    // server certificate when given. Returns its URL.
    std::string Central(const std::string& script, const std::string& cert = "") {
        const std::string scriptFile = log_ + ".script.json";
        std::ofstream(scriptFile) << script;
        std::vector<std::string> args = {"node", STATION_SOURCE_DIR "/sim/central15/central15.js", "--port", "0",
                                         "--log", log_, "--script", scriptFile, "--identity", "CB-0001"};
        if (!cert.empty()) args.insert(args.end(), {"--tls", certs_->Path(cert, "pem"), certs_->Path(cert, "key")});
        EXPECT_EQ(RunProgram(args, &central_), 0);
        // Waits (real time) for the program to start listening.
        for (int i = 0; i < 1200; ++i) {
            for (const auto& l : Lines(log_)) {
                if (!Has(l, "\"event\":\"listening\"")) continue;
                const auto at = l.find("\"port\":") + 7;
                const std::string port = l.substr(at, l.find(',', at) - at);
                return (cert.empty() ? "http" : "https") + std::string("://127.0.0.1:") + port + "/ocpp15";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "the central system did not start (sim/central15 needs `npm ci`)";
        return "";
    }
    bool Start(const std::string& url) {
        map.clear(SHRMEM_OCPP_URL);
        map.set(SHRMEM_OCPP_URL, url);
        q = ocpps::Quillon{};
        q.map = map;
        return ocpps::StartUp(q);
    }
    // The station controller's request: fields written, then the bit.
    void Ask(std::uint8_t bit) {
        bytes[445] |= bit;
        ocpps::Pass(q);
        EXPECT_EQ(bytes[445] & bit, 0);
    }
    std::string SystemLog() {
        std::string all;
        for (const auto& e : std::filesystem::directory_iterator(root.path() + "/Storage/SystemLog"))
            all += platform::ReadTextFile(e.path().string(), 1 << 20);
        return all;
    }
    bool Online() const { return (bytes[448] & 0x80) != 0; }
    // No request broke the WSDL or the addressing rules.
    void ExpectAllValid() {
        for (const auto& l : Lines(log_)) EXPECT_FALSE(Has(l, "\"event\":\"invalid\"")) << l;
    }

    static std::string dir_;
    static Certificates* certs_;
    static int runs_;
    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock scoped{clock};
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kMapSize);
    RegisterMap map{bytes.data(), kMapSize};
    ocpps::Quillon q;
    std::string log_;
    pid_t central_ = 0;
};

std::string QuillonLinkTest::dir_;
Certificates* QuillonLinkTest::certs_ = nullptr;
int QuillonLinkTest::runs_ = 0;

TEST_F(QuillonLinkTest, ChargingSessionFromBootToStop) {
    const std::string url = Central(R"({
        "BootNotification": [{"status": "Rejected"}],
        "Authorize": [{"idTagInfo": {"status": "Accepted", "parentIdTag": "PARENT-0123456789ABC"}}, {"silent": true}],
        "StartTransaction": [{"transactionId": 4242}],
        "StopTransaction": [{"idTagInfo": null}]
    })");
    ASSERT_TRUE(Start(url));
    alarms::StationBridge bastide(map);

    EXPECT_EQ(ocpps::BootStep(q, 0), 630000) << "Rejected: the next attempt 630 s later";
    EXPECT_FALSE(Online());
    EXPECT_EQ(ocpps::BootStep(q, 0), 0);
    EXPECT_TRUE(Online());
    EXPECT_EQ(map.get(SHRMEM_CLOCK_CHANGED), 1);
    EXPECT_NEAR(clock.WallSeconds(), std::time(nullptr), 60) << "the clock follows the central system";

    // Bastide sees the central system online: connector 1, then the charge point.
    EXPECT_EQ(bastide.OCPP15SStsMgmt(), 0);
    ocpps::Pass(q);
    bastide.OCPP15SStsMgmt();
    ocpps::Pass(q);

    map.set(SHRMEM_ID_TAG, "04A2B3C4");
    Ask(0x01);
    EXPECT_EQ(map.get(slot::AUTH_STATUS), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(map.bytes(slot::AUTH_PARENT)), 20), "PARENT-0123456789ABC");
    EXPECT_EQ(map.get(slot::AUTH_EXPIRY), clock.WallSeconds() + 10);

    map.set(slot::START_CONNECTOR, 1);
    map.set(slot::START_TIMESTAMP, static_cast<std::int32_t>(clock.WallSeconds()));
    map.set(slot::START_METER, 1500);
    Ask(0x02);
    EXPECT_EQ(map.get(slot::TRANSACTION_ID), 4242);
    EXPECT_EQ(map.get(slot::START_STATUS), 0);

    map.set(SHRMEM_CHARGER_STATE, 1);
    map.set(SHRMEM_OUTPUT_ENERGY_TEXT, "1.5");
    map.set(SHRMEM_GET_V1, 4000);
    map.set(slot::OUTPUT_CURRENT, 1000);
    map.set(slot::OUTPUT_POWER, 40000);
    ocpps::Pass(q);  // meter values at once
    bastide.OCPP15SStsMgmt();  // Occupied
    clock.Advance(60000);
    map.set(SHRMEM_OUTPUT_ENERGY_TEXT, "0.2");  // the meter text restarted
    ocpps::Pass(q);  // Occupied sent, meter values again, and the Heartbeat

    map.set(SHRMEM_CHARGER_STATE, 2);  // a fault ends the session
    bastide.OCPP15SStsMgmt();
    ocpps::Pass(q);
    bastide.OCPP15SStsMgmt();
    ocpps::Pass(q);
    map.set(slot::STOP_TRANSACTION, 4242);
    map.set(slot::STOP_TIMESTAMP, static_cast<std::int32_t>(clock.WallSeconds()));
    map.set(slot::STOP_METER, 3000);
    Ask(0x04);
    EXPECT_EQ(map.get(slot::STOP_STATUS), 0) << "no idTagInfo";

    Ask(0x01);  // the central system drops the connection
    EXPECT_EQ(map.get(slot::AUTH_STATUS), 255);
    EXPECT_FALSE(Online());
    clock.Advance(60000);
    ocpps::Pass(q);
    EXPECT_TRUE(Online()) << "the Heartbeat is answered again";
    ExpectAllValid();

    const auto requests = Requests(log_);
    std::vector<std::string> actions;
    for (const auto& r : requests) actions.push_back(Action(r));
    // A connector's record goes to connectors 1 and 2, the charge point's once.
    EXPECT_EQ(actions, (std::vector<std::string>{
                           "BootNotification", "BootNotification", "StatusNotification", "StatusNotification",
                           "StatusNotification", "Authorize", "StartTransaction", "MeterValues", "StatusNotification",
                           "StatusNotification", "MeterValues", "Heartbeat", "StatusNotification", "StatusNotification",
                           "StatusNotification", "StopTransaction", "Authorize", "Heartbeat"}));
    ASSERT_EQ(requests.size(), actions.size());
    const std::string boot =
        R"("chargePointVendor":"VANTO","chargePointModel":"DC50-CC","chargePointSerialNumber":"VE50CC000123",)"
        R"("chargeBoxSerialNumber":"02:00:00:00:c0:01","firmwareVersion":"v01.02.0A.1F","iccid":"8949000000000000001",)"
        R"("imsi":"262010000000001","meterType":"Increasing","meterSerialNumber":"02:00:00:00:c0:01")";
    EXPECT_TRUE(Has(requests[1], boot)) << requests[1];
    const std::string header = R"("header":{"chargeBoxIdentity":"CB-0001","MessageID":"urn:uuid:)";
    const std::string from = R"("From":{"Address":"http://127.0.0.1:8080/ChargeBox/OCPP15"})";
    for (const auto& r : requests) {
        EXPECT_TRUE(Has(r, header)) << r;
        EXPECT_TRUE(Has(r, from)) << r;
        EXPECT_TRUE(Has(r, "\"To\":\"" + url + "\",\"Action\":\"/" + Action(r) + "\"")) << r;
    }
    const std::pair<int, std::string> statuses[] = {
        {2, R"({"connectorId":"1","status":"Available","errorCode":"NoError","info":"No Error")"},
        {3, R"({"connectorId":"2","status":"Available","errorCode":"NoError","info":"No Error")"},
        {4, R"({"connectorId":"0","status":"Available","errorCode":"NoError","info":"No Error")"},
        {8, R"({"connectorId":"1","status":"Occupied","errorCode":"NoError")"},
        {9, R"({"connectorId":"2","status":"Occupied","errorCode":"NoError")"},
        {12, R"({"connectorId":"1","status":"Faulted","errorCode":"OtherError","info":"Other Error")"},
        {13, R"({"connectorId":"2","status":"Faulted","errorCode":"OtherError","info":"Other Error")"},
        {14, R"({"connectorId":"0","status":"Faulted","errorCode":"OtherError","info":"Other Error")"},
    };
    for (const auto& [i, body] : statuses) {
        EXPECT_TRUE(Has(requests[i], body)) << requests[i];
        EXPECT_TRUE(Has(requests[i], R"("vendorId":"DC50-CC")")) << requests[i];
    }
    EXPECT_TRUE(Has(requests[5], R"("body":{"idTag":"04A2B3C4"})")) << requests[5];
    EXPECT_TRUE(Has(requests[6], R"("connectorId":"1","idTag":"04A2B3C4")")) << requests[6];
    EXPECT_TRUE(Has(requests[6], R"("meterStart":"1500","reservationId":"0")")) << requests[6];
    for (int i : {7, 10}) {
        SCOPED_TRACE(requests[i]);
        EXPECT_TRUE(Has(requests[i], R"("connectorId":"1","transactionId":"4242")"));
        for (const char* v : {R"("@measurand":"Energy.Active.Import.Register","@location":"Body","@unit":"kWh","#":"1.50"})",
                              R"("@measurand":"Power.Active.Import","@location":"Body","@unit":"kW","#":"40"})",
                              R"("@measurand":"Current.Import","@location":"Body","@unit":"Amp","#":"100"})",
                              R"("@measurand":"Voltage","@location":"Body","@unit":"Volt","#":"400"})"}) {
            EXPECT_TRUE(Has(requests[i], v)) << v << " (the energy never goes down)";
        }
        EXPECT_TRUE(Has(requests[i], R"("@context":"Sample.Periodic","@format":"Raw")"));
    }
    EXPECT_TRUE(Has(requests[15], R"("transactionId":"4242","idTag":"04A2B3C4")")) << requests[15];
    EXPECT_TRUE(Has(requests[15], R"("meterStop":"3000"})")) << requests[15];
    const std::string syslog = SystemLog();
    for (const char* line : {"[OCPP]main:Authorize OK", "[OCPP]main:StartTransaction OK", "[OCPP]main:StopTransaction OK",
                             "[OCPP]main:StatusNotification OK", "[OCPP]main:Authorize NG",
                             "Heartbeat has response"}) {
        EXPECT_TRUE(Has(syslog, line)) << line;
    }
}

TEST_F(QuillonLinkTest, FaultsAndSilenceOfTheCentralSystemAreFailures) {
    const std::string url = Central(R"({
        "BootNotification": [{"silent": true}, {"fault": "not yet"}],
        "StartTransaction": [{"fault": "database down"}, {"transactionId": 0}],
        "StatusNotification": [{"silent": true}]
    })");
    ASSERT_TRUE(Start(url));
    EXPECT_EQ(ocpps::BootStep(q, 0), 5000);
    EXPECT_EQ(ocpps::BootStep(q, 1), 10000);
    EXPECT_EQ(ocpps::BootStep(q, 2), 0);
    map.set(SHRMEM_ID_TAG, "04A2B3C4");
    map.set(slot::TRANSACTION_ID, 17);
    Ask(0x02);
    EXPECT_EQ(map.get(slot::START_STATUS), 255);
    EXPECT_FALSE(Online());
    Ask(0x02);
    EXPECT_EQ(map.get(slot::TRANSACTION_ID), 17) << "transactionId 0 leaves the running one";
    EXPECT_TRUE(Online());
    map.set(OCPP15_STS_STATUS, 3);
    map.set(OCPP15_STS_ERROR_CODE, 3);
    Ask(0x08);
    EXPECT_FALSE(Has(SystemLog(), "StatusNotification OK"));
    ExpectAllValid();
}

TEST_F(QuillonLinkTest, TlsNeedsTheCentralSystemsCertificateForItsHost) {
    struct Case {
        const char* cert;
        bool answered;
    } cases[] = {{"good", true}, {"stranger", false}, {"wrong-host", false}};
    map.set(SHRMEM_OCPP_MODE, 1);
    root.Make("/Storage");
    ASSERT_TRUE(platform::ReplaceFile(root.path() + "/Storage/[OCPP15S]CACert.pem",
                                      platform::ReadTextFile(certs_->Path("ca", "pem"), 1 << 16)));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cert);
        log_ = dir_ + "/central-tls-" + c.cert + ".log";
        const std::string url = Central("{}", c.cert);
        ASSERT_EQ(url.rfind("https://", 0), 0u);
        ASSERT_TRUE(Start(url));
        EXPECT_EQ(ocpps::BootStep(q, 0) == 0, c.answered);
        if (c.answered) {
            bytes[445] = 0x01;
            ocpps::Pass(q);
            EXPECT_EQ(map.get(slot::AUTH_STATUS), 0);
            const auto requests = Requests(log_);
            ASSERT_EQ(requests.size(), 2u);
            for (const auto& r : requests) {
                EXPECT_TRUE(Has(r, R"("tls":true)")) << r;
                EXPECT_TRUE(Has(r, R"("From":{"Address":"https://127.0.0.1:8080/ChargeBox/OCPP15"})")) << r;
            }
        } else {
            EXPECT_TRUE(Requests(log_).empty());
        }
        ExpectAllValid();
        kill(central_, SIGTERM);
        waitpid(central_, nullptr, 0);
        central_ = 0;
    }
}

}  // namespace
