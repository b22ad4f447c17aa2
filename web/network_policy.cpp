#include "network_policy.h"

#include <arpa/inet.h>

#include "tls_files.h"

std::string ListenerProblem(const NetworkPolicy& policy, const char* port) {
    if (!policy.refusal.empty()) {
        return policy.refusal;
    }
    if (ParsePortText(port) <= 0) {
        return "not a port number";
    }
    // Only a dotted IPv4 address: the library would take an interface name
    // too, and a typo must not widen what we listen on.
    in_addr address;
    const std::string iface = policy.bind_address.empty() ? "0.0.0.0" : policy.bind_address;
    if (inet_pton(AF_INET, iface.c_str(), &address) != 1) {
        return "BindAddress \"" + policy.bind_address + "\" is not an IPv4 address";
    }
    // Never plain text in place of TLS that was asked for.
    return policy.tls ? TlsFilesProblem(policy.tls_certificate, policy.tls_private_key)
                      : std::string();
}
