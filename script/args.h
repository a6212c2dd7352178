// Reading script arguments: the last n values on the stack, numbers truncated
// toward zero with their low 32 bits used, texts as C strings. One rule for values
// that are not what a function expects: a missing argument reads as nil; a number
// argument that is not a number (or a numeric text) reads as 0; a text argument
// that is not a text or a number reads as the empty text.
#pragma once

#include <cstdint>

#include "../platform/lua_seam.h"

namespace cvn {

// Stack index of argument i (1-based) among the last n values; 0 when the call
// passed fewer values than that, so nothing below the function's frame is read.
inline int arg_index(lua_State* L, int n, int i) {
  int idx = lua::top(L) - n + i;
  return idx >= 1 ? idx : 0;
}

// Low 32 bits of a number truncated toward zero. NaN, infinities and values
// outside the 64-bit range read as 0.
inline std::uint32_t number_low32(lua::Number d) {
  constexpr lua::Number kLimit = 9223372036854775808.0;  // 2^63
  if (!(d == d) || d >= kLimit || d <= -kLimit) return 0;
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(d)));
}

inline std::uint32_t arg_u32(lua_State* L, int n, int i) {
  int idx = arg_index(L, n, i);
  return idx ? number_low32(lua::to_number(L, idx)) : 0;
}

inline std::int32_t arg_i32(lua_State* L, int n, int i) {
  return static_cast<std::int32_t>(arg_u32(L, n, i));
}

inline const char* arg_text(lua_State* L, int n, int i) {
  int idx = arg_index(L, n, i);
  if (idx == 0) return "";
  int t = lua::type(L, idx);
  if (t != lua::kTypeString && t != lua::kTypeNumber) return "";
  const char* s = lua::to_text(L, idx);
  return s ? s : "";
}

}  // namespace cvn
