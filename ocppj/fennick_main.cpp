// Fennick: the OCPP 1.6J websocket transport. One process, one thread, one
// link; libwebsockets does the wire, FennickCore the OCPP side.
#include <libwebsockets.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "clock.h"
#include "exchange.h"
#include "fennick_app.h"
#include "fennick_core.h"
#include "instance_lock.h"
#include "link_url.h"
#include "messages.h"
#include "ocpp_time.h"
#include "paths.h"

namespace {

using namespace ocppj;

constexpr std::size_t kMaxMessage = 64 * 1024;  // fragments are joined up to this size
constexpr std::int64_t kAttemptMs = 60000;       // a connection attempt that hangs is replaced
constexpr std::int64_t kRetryMs = 1000;          // pause after a lost or refused link
constexpr lws_usec_t kTickUs = 100 * LWS_US_PER_MS;

struct Glue final : LinkPort {
    fennick::FennickApp* app = nullptr;
    Exchange* x = nullptr;
    FennickCore* core = nullptr;
    lws_context* ctx = nullptr;
    lws* wsi = nullptr;
    bool established = false;
    std::int64_t attemptMs = 0;
    std::int64_t nextAttemptMs = 0;
    std::int32_t pingInterval = 0;
    bool rebuild = false;
    std::deque<std::string> out;
    std::string in;
    std::string inHead;  // the start of a message too long to keep, for its id
    bool inTooLong = false;
    ServerAddress addr;
    std::string auth;  // Base64 of user:password, empty = no header
    std::string caPath;
    lws_retry_bo_t retry{};
    lws_sorted_usec_list_t sul{};

    bool Send(const std::string& text) override {
        if (wsi == nullptr || !established) return false;
        out.push_back(text);
        lws_callback_on_writable(wsi);
        return true;
    }
    void Drop() override {
        if (wsi != nullptr) lws_set_timeout(wsi, PENDING_TIMEOUT_CLOSE_SEND, LWS_TO_KILL_ASYNC);
    }
    void Lost() {
        wsi = nullptr;
        nextAttemptMs = platform::GetClock().MonotonicMs() + kRetryMs;
        established = false;
        out.clear();
        in.clear();
        core->OnClosed();
    }
};

Glue g;

void Log(const std::string& text) { RecordFennickLog(*g.app, text); }

int Callback(lws* wsi, lws_callback_reasons reason, void*, void* in, size_t len) {
    switch (reason) {
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        Log(std::string("[Info][Fennick]OCPP16Callback:LWS_CALLBACK_CLIENT_CONNECTION_ERROR=") +
            (in ? std::string(static_cast<const char*>(in), strnlen(static_cast<const char*>(in), len ? len : 256))
                : "(null)"));
        if (wsi == g.wsi) g.Lost();
        break;
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
        if (wsi != g.wsi) break;
        g.established = true;
        g.core->OnConnected();
        break;
    case LWS_CALLBACK_CLIENT_CLOSED:
        Log("[Info][Fennick]OCPP16Callback:LWS_CALLBACK_CLOSED");
        if (wsi == g.wsi) g.Lost();
        break;
    case LWS_CALLBACK_WSI_DESTROY:
        if (wsi == g.wsi) g.Lost();
        break;
    case LWS_CALLBACK_CLIENT_RECEIVE: {
        if (wsi != g.wsi) break;
        if (lws_is_first_fragment(wsi)) {
            g.in.clear();
            g.inTooLong = false;
        }
        if (!g.inTooLong) {
            if (g.in.size() + len > kMaxMessage) {
                g.inTooLong = true;
                g.in.append(static_cast<const char*>(in), len);
                g.inHead = g.in.substr(0, 128);
                g.in.clear();
            } else {
                g.in.append(static_cast<const char*>(in), len);
            }
        }
        if (lws_is_final_fragment(wsi) && lws_remaining_packet_payload(wsi) == 0) {
            if (g.inTooLong)
                g.core->OnTooLong(g.inHead);
            else
                g.core->OnText(g.in);
            g.in.clear();
            g.inTooLong = false;
        }
        break;
    }
    case LWS_CALLBACK_CLIENT_WRITEABLE: {
        if (wsi != g.wsi || g.out.empty()) break;
        std::string text = std::move(g.out.front());
        g.out.pop_front();
        std::string buf(LWS_PRE + text.size(), '\0');
        std::memcpy(buf.data() + LWS_PRE, text.data(), text.size());
        int n = lws_write(wsi, reinterpret_cast<unsigned char*>(buf.data()) + LWS_PRE, text.size(), LWS_WRITE_TEXT);
        if (n < static_cast<int>(text.size())) return -1;
        if (!g.out.empty()) lws_callback_on_writable(wsi);
        break;
    }
    case LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER: {
        if (g.auth.empty()) break;
        auto** p = static_cast<unsigned char**>(in);
        unsigned char* end = *p + len;
        std::string value = "Basic " + g.auth;
        if (lws_add_http_header_by_token(wsi, WSI_TOKEN_HTTP_AUTHORIZATION,
                                         reinterpret_cast<const unsigned char*>(value.c_str()),
                                         static_cast<int>(value.size()), p, end)) {
            Log("[Error][Fennick]OCPP16Callback:HTTPBasicAuthAppendError");
            return -1;
        }
        break;
    }
    default:
        break;
    }
    return 0;
}

const lws_protocols kProtocols[] = {
    {"ocpp1.6", Callback, 0, 10240, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

void Connect() {
    lws_client_connect_info ci{};
    ci.context = g.ctx;
    ci.address = g.addr.host.c_str();
    ci.port = g.addr.port;
    ci.path = g.addr.path.c_str();
    ci.host = g.addr.hostHeader.c_str();
    ci.origin = g.addr.hostHeader.c_str();
    ci.protocol = "ocpp1.6";
    ci.ietf_version_or_minus_one = -1;
    ci.ssl_connection = g.app->tlsEnabled ? LCCSCF_USE_SSL : 0;  // the chain and the host name are verified
    if (g.pingInterval > 0) ci.retry_and_idle_policy = &g.retry;
    ci.pwsi = &g.wsi;
    g.attemptMs = platform::GetClock().MonotonicMs();
    g.established = false;
    if (lws_client_connect_via_info(&ci) == nullptr) g.wsi = nullptr;
}

void Tick(lws_sorted_usec_list_t*) {
    const std::int64_t now = platform::GetClock().MonotonicMs();
    if (g.core->Wanted()) {
        if (g.wsi == nullptr) {
            if (now >= g.nextAttemptMs) Connect();
        } else if (!g.established && now - g.attemptMs > kAttemptMs - 1) {
            Log("[Info][Fennick] OCPP16Callback() Timeout and Init");
            lws_set_timeout(g.wsi, PENDING_TIMEOUT_CLOSE_SEND, LWS_TO_KILL_ASYNC);
        }
    } else if (g.wsi != nullptr) {
        g.Drop();
    }
    g.core->Tick();
    std::int32_t ping = g.app->configValues.WebSocketPingInterval;
    if (ping != g.pingInterval) g.rebuild = true;  // the context carries the ping policy
    std::int32_t hold = std::atomic_ref<std::int32_t>(g.app->ocppLinkHold).load(std::memory_order_acquire);
    if (hold == 1) g.rebuild = true;
    if (g.rebuild) {
        lws_cancel_service(g.ctx);
        return;
    }
    lws_sul_schedule(g.ctx, 0, &g.sul, Tick, kTickUs);
}

bool CreateContext() {
    g.pingInterval = g.app->configValues.WebSocketPingInterval;
    g.retry = lws_retry_bo_t{};
    if (g.pingInterval > 0) {
        g.retry.secs_since_valid_ping = static_cast<std::uint16_t>(g.pingInterval > 65000 ? 65000 : g.pingInterval);
        g.retry.secs_since_valid_hangup = static_cast<std::uint16_t>(g.retry.secs_since_valid_ping + 20);
    }
    lws_context_creation_info info{};
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = kProtocols;
    info.gid = -1;
    info.uid = -1;
    // One connection to the central system: the tables of descriptors are
    // sized for a few, not for the process's whole descriptor limit.
    info.fd_limit_per_thread = 16;
    if (g.app->tlsEnabled) {
        info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
        info.client_ssl_ca_filepath = g.caPath.c_str();
    }
    g.ctx = lws_create_context(&info);
    if (g.ctx == nullptr) {
        Log("[Info][Fennick] lws_create_context NG");
        return false;
    }
    lws_sul_schedule(g.ctx, 0, &g.sul, Tick, 1);
    return true;
}

void DestroyContext() {
    if (g.ctx == nullptr) return;
    lws_context_destroy(g.ctx);  // closes the link; its callbacks run the loss steps
    g.ctx = nullptr;
    if (g.wsi != nullptr || g.established) g.Lost();
}

}  // namespace

int main() {
    lws_set_log_level(0, nullptr);
    std::string error;
    fennick::FennickApp* app = fennick::AttachFennickApp(true, &error);
    if (app == nullptr) {
        std::fprintf(stderr, "[Info][Fennick] FennickApp Share memory error (%s)\n", error.c_str());
        return 0;
    }
    g.app = app;
    if (!platform::HoldInstanceLock("Fennick", &error)) {
        Log("[Info][Fennick] already running: " + error);
        return 0;
    }
    Exchange* x = AttachExchange(&error);
    if (x == nullptr) {
        Log("[Info][Fennick] Fennick Share memory error");
        return 0;
    }
    g.x = x;
    const std::string url = FieldText(app->centralSystemUrl);
    if (!ParseServerURL(url, app->tlsEnabled != 0, LinkIdentity(*app), g.addr, &error)) {
        Log("[Info][Fennick]ParseServerURL:Wrong Server URL=" + url + " (" + error + ")");
        Log("[Info][Fennick] Server URL parsing error");
        return 0;
    }
    Log("Server pu8IpAddr:" + g.addr.host + " pu8Path:" + g.addr.path + " pu8Host:" + g.addr.hostHeader +
        " pu8Origin:" + g.addr.hostHeader + " u16SrcPort:" + std::to_string(g.addr.port));
    if (app->configValues.HTTPBasicAuthEnable)
        g.auth = BasicAuthValue(g.addr.identity, FieldText(app->configValues.AuthorizationKey));
    g.caPath = platform::SystemPath(FieldText(app->caCertPath));

    FennickCore core(*app, *x, g);
    g.core = &core;
    core.Start();
    if (!CreateContext()) return 0;
    for (;;) {
        if (g.ctx == nullptr) {
            while (std::atomic_ref<std::int32_t>(app->ocppLinkHold).load(std::memory_order_acquire) == 1)
                platform::GetClock().SleepMs(1000);
            if (!CreateContext()) {
                platform::GetClock().SleepMs(1000);
                continue;
            }
        }
        lws_service(g.ctx, 0);
        if (g.rebuild) {
            g.rebuild = false;
            DestroyContext();
        }
    }
}
