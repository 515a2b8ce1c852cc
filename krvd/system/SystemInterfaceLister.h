#pragma once

#include "krvd/system/InterfaceLister.h"

namespace krvd {

// The kernel's interface address list through getifaddrs.
class SystemInterfaceLister final : public InterfaceLister {
  public:
    std::optional<std::vector<InterfaceAddress>> listAddresses() override;
};

}  // namespace krvd
