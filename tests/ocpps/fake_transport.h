// The client context's transport replaced by two strings: what a request
// writes is kept, what the central system answers is read from a string. No
// socket is opened.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "stdsoap2.h"

struct FakeTransport {
    std::string sent;
    std::string answer;
    std::size_t read = 0;
    bool refuse = false;  // the connection fails
    // When set, the answer is made from each request as it arrives.
    std::function<std::string(const std::string& request)> respond;

    void Install(struct soap* soap) {
        soap->user = this;
        soap->fopen = [](struct soap* s, const char*, const char*, int) -> SOAP_SOCKET {
            auto* t = static_cast<FakeTransport*>(s->user);
            if (t->refuse) {
                s->error = SOAP_TCP_ERROR;
                return SOAP_INVALID_SOCKET;
            }
            t->sent.clear();
            t->read = 0;
            if (t->respond) t->answer.clear();
            return 1000;  // never used as a descriptor: every call below is replaced
        };
        soap->fsend = [](struct soap* s, const char* data, std::size_t n) -> int {
            static_cast<FakeTransport*>(s->user)->sent.append(data, n);
            return SOAP_OK;
        };
        soap->frecv = [](struct soap* s, char* buf, std::size_t n) -> std::size_t {
            auto* t = static_cast<FakeTransport*>(s->user);
            if (t->respond && t->read == 0 && t->answer.empty()) t->answer = t->respond(t->sent);
            const std::size_t k = std::min(n, t->answer.size() - t->read);
            std::memcpy(buf, t->answer.data() + t->read, k);
            t->read += k;
            return k;
        };
        soap->fclose = [](struct soap*) -> int { return SOAP_OK; };
        soap->fclosesocket = [](struct soap*, SOAP_SOCKET) -> int { return SOAP_OK; };
        soap->fshutdownsocket = [](struct soap*, SOAP_SOCKET, int) -> int { return SOAP_OK; };
        soap->fpoll = [](struct soap*) -> int { return SOAP_OK; };
    }

    // An HTTP answer carrying a SOAP 1.2 body in the central-system namespace.
    void Answer(const std::string& body) { answer = Http(body); }
    static std::string Http(const std::string& body) {
        const std::string envelope =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
            "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" xmlns:cs=\"urn://Ocpp/Cs/2012/06/\">"
            "<s:Body>" + body + "</s:Body></s:Envelope>";
        return "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml; charset=utf-8\r\nContent-Length: " +
                 std::to_string(envelope.size()) + "\r\nConnection: close\r\n\r\n" + envelope;
    }
};
