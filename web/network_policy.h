#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "metrics_server.h"
#include "page_tokens.h"

// A port's text as a number: the whole text decimal, 1 to 65535; else 0.
inline int ParsePortText(const char* text) {
    long port = 0;
    for (const char* c = text; c != nullptr && *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || (port = port * 10 + (*c - '0')) > 65535) {
            return 0;
        }
    }
    return static_cast<int>(port);
}

// Who may reach the scan server, and how. Every restriction is opt-in: the
// defaults listen on every IPv4 interface, in plain ws://, and serve pages of
// any origin.
struct NetworkPolicy {
    // An IPv4 address in dotted form to listen on; empty: all interfaces.
    std::string bind_address;
    // Exact origins ("https://pos.example.com") whose pages may connect;
    // empty: any. A handshake without an Origin header comes from a program,
    // not from a browser's page, and is always served.
    std::vector<std::string> allowed_origins;
    // wss:// only, with these PEM files, when `tls` is set: the certificate
    // (and its chain) and its private key.
    bool tls = false;
    std::string tls_certificate;
    std::string tls_private_key;
    // Why no listener may be opened at all: the configuration file names a
    // restriction but could not be read. Empty: none.
    std::string refusal;
    // Where Prometheus scrapes the metrics (<Metrics>); off unless given.
    MetricsOptions metrics;
    // Pages show a token that the POS's server signed (<PageTokens>).
    PageTokenOptions page_tokens;

    bool OriginAllowed(const std::string& origin) const {
        return allowed_origins.empty() || std::find(allowed_origins.begin(), allowed_origins.end(),
                                                    origin) != allowed_origins.end();
    }
};

// Why the policy and the port's text rule a WebSocket listener out (a
// refusal from the file, a port that is no port, a BindAddress that is no
// IPv4 address, TLS files that won't do); empty when they don't. Page tokens'
// keys are PageTokens::Load's.
std::string ListenerProblem(const NetworkPolicy& policy, const char* port);
