// libFuzzer target: CCF validation and conversion on arbitrary text, and
// ccf2sendir's explanation, which must give a reason exactly when the plug-in
// refuses the text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "../../script/ccf.h"
#include "../../tools/ccf_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
  char out[cvn::kSendirCommandSize];
  int n = cvn::ccf_to_sendir(text.c_str(), -2147483647 - 1, 65535, -1, 65535, out, sizeof out);
  if (n >= 0) {
    if (!cvn::ccf_validate(text.c_str())) __builtin_trap();
    if (static_cast<std::size_t>(n) != std::strlen(out) || out[n - 1] != '\r') __builtin_trap();
  }
  bool refused = false;
  for (const auto& p : cvn::ccfcheck::check(std::string_view(text.data(), size), {})) refused = refused || p.plugin;
  bool accepted = n >= 0 && std::memchr(data, 0, size) == nullptr;
  if (refused == accepted) __builtin_trap();
  return 0;
}
