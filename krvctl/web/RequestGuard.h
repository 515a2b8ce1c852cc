#pragma once

#include <optional>
#include <string>

#include "krvctl/values/ListenAddress.h"

namespace krvctl {

// The header that carries the console's per-run token on every request that changes anything.
inline constexpr const char* kTokenHeader = "X-Krvctl-Token";

struct GuardedRequest {
    std::string method;
    std::string host;                   // the Host header; empty when missing
    std::optional<std::string> origin;  // the Origin header, when the browser sent one
    std::string token;                  // the token header; empty when missing
};

struct Refusal {
    std::string rule;  // which check refused it: the same for every request it stops
    std::string text;  // why, naming what the request said
};

// Any page a browser opens can make it send requests to this console, and a name that a
// stranger's DNS points at 127.0.0.1 reaches it as well. So every request must be addressed
// to the console by its own address (no rebound name), a browser's request must come from the
// console's own page, and a change needs the token that only that page can read.
class RequestGuard {
  public:
    RequestGuard(ListenAddress listen, std::string token);

    // Why the request is refused, or nothing when it may pass.
    std::optional<Refusal> refusal(const GuardedRequest& request) const;

    const std::string& token() const { return token_; }

  private:
    bool hostAllowed(const std::string& host) const;

    ListenAddress listen_;
    std::string token_;
};

// 128 random bits from the system's secure source, as 32 hex digits.
std::string freshConsoleToken();

}  // namespace krvctl
