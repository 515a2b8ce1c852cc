#include "krvctl/web/RequestGuard.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>

#include "krvctl/values/Ipv4.h"
#include "protocol/TextTransforms.h"

namespace krvctl {

namespace {

// Compares in time independent of where the texts differ, so the token cannot be guessed
// byte by byte from response times.
bool sameSecret(const std::string& given, const std::string& secret) {
    if (given.size() != secret.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < secret.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
    }
    return difference == 0;
}

}  // namespace

RequestGuard::RequestGuard(ListenAddress listen, std::string token)
    : listen_(listen), token_(std::move(token)) {}

bool RequestGuard::hostAllowed(const std::string& host) const {
    const std::string name = krv::lowerCased(host);
    std::string port = std::to_string(listen_.port);
    port.insert(port.begin(), ':');
    if (name == listen_.text() || (listen_.port == 80 && name == listen_.host())) {
        return true;
    }
    if (!name.ends_with(port)) {
        return false;
    }
    const std::string bare = name.substr(0, name.size() - port.size());
    // No DNS answer can rebind "localhost" or an address written out: browsers resolve the
    // one themselves and the other not at all.
    if (listen_.loopback() && bare == "localhost") {
        return true;
    }
    return listen_.anyAddress() && parseDottedQuad(bare).ok();
}

std::optional<Refusal> RequestGuard::refusal(const GuardedRequest& request) const {
    if (!hostAllowed(request.host)) {
        return Refusal{"Host", "the Host header '" + request.host +
                                   "' is not this console's address " + listen_.text()};
    }
    if (request.origin &&
        krv::lowerCased(*request.origin) != "http://" + krv::lowerCased(request.host)) {
        return Refusal{"Origin", "the request comes from the page of another site (Origin '" +
                                     *request.origin + "')"};
    }
    const bool reads = request.method == "GET" || request.method == "HEAD";
    if (!reads && !sameSecret(request.token, token_)) {
        return Refusal{"token", request.token.empty() ? "the console's token is missing"
                                                      : "the console's token is wrong"};
    }
    return std::nullopt;
}

std::string freshConsoleToken() {
    std::random_device entropy;  // getrandom() on Linux
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(entropy()));
        token += part;
    }
    return token;
}

}  // namespace krvctl
