// Whether the test runs under tests/offline.sh, where only loopback and a hosts
// file of its own answer: there a lookup meant to fail fails at once, without
// asking any resolver. Elsewhere the checks that need it are skipped, saying so.
#pragma once

#include <cstdlib>
#include <cstring>

namespace cvn::test {

constexpr const char* kNeedsOffline =
    "a lookup that is to fail runs only under tests/offline.sh (CVN_OFFLINE=1), where it cannot leave the machine";

inline bool offline() {
  const char* v = std::getenv("CVN_OFFLINE");
  return v != nullptr && std::strcmp(v, "1") == 0;
}

}  // namespace cvn::test
