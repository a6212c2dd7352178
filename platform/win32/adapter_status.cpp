// Adapter status on Windows: Netbios with NCBRESET and NCBASTAT on adapter 0.
#include "../platform.h"

#include <windows.h>
#include <nb30.h>

#include <cstring>

namespace cvn::plat {

int netbios_reset() {
  NCB ncb{};
  ncb.ncb_command = NCBRESET;
  ncb.ncb_lana_num = 0;
  return Netbios(&ncb);
}

int netbios_adapter_status(const unsigned char call_name[16], unsigned char* status, int len) {
  NCB ncb{};
  ncb.ncb_command = NCBASTAT;
  ncb.ncb_lana_num = 0;
  std::memcpy(ncb.ncb_callname, call_name, 16);
  ncb.ncb_buffer = status;
  ncb.ncb_length = static_cast<WORD>(len);
  return Netbios(&ncb);
}

void netbios_redirect_for_tests(std::uint32_t, std::uint16_t) {}

}  // namespace cvn::plat
