// CCF (Pronto hex) infrared codes: the rules a code must follow to be sent, what
// its words mean, and the sendir command built from it. Pure and written once:
// the plug-in (ccf_send.h), ccf2sendir --check and gcsim all use these.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cvn {

// A code is 6 to 260 groups of four hex digits, separated by single spaces.
constexpr std::size_t kCcfGroupDigits = 4;
constexpr std::size_t kCcfMinGroups = 6;
constexpr std::size_t kCcfMaxGroups = 260;
// Characters of a code of n groups, and where group k starts.
constexpr std::size_t ccf_length(std::size_t groups) { return groups * (kCcfGroupDigits + 1) - 1; }
constexpr std::size_t ccf_group_start(std::size_t k) { return k * (kCcfGroupDigits + 1); }

// Groups 0 to 3 are the format word, the frequency word and the burst-pair counts
// of the once and the repeat sequence; every group after them is a duration.
constexpr std::size_t kCcfFrequencyGroup = 1;
constexpr std::size_t kCcfOnceGroup = 2;
constexpr std::size_t kCcfRepeatGroup = 3;
constexpr std::size_t kCcfHeaderGroups = 4;
constexpr std::size_t kCcfMinDurations = kCcfMinGroups - kCcfHeaderGroups;
constexpr std::size_t kCcfMaxDurations = kCcfMaxGroups - kCcfHeaderGroups;

// The longest command (260 groups, the widest numbers) has 1600 characters.
constexpr std::size_t kSendirCommandSize = 4000;

constexpr bool ccf_is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The shape alone: groups and single spaces, nothing before, between or after.
bool ccf_validate(const char* text);
// Value of four hex digits; checks nothing.
unsigned hex_word(const char* p);
// Word k of a code whose shape is valid.
inline unsigned ccf_word(const char* text, std::size_t k) { return hex_word(text + ccf_group_start(k)); }
// The carrier in Hz that a frequency word gives, rounded to whole kHz as the
// sendir command carries it: 41450 / word is the carrier in units of 100 Hz.
// Word 0 has no carrier; it gives 0 here and is refused by ccf_accepted.
constexpr unsigned ccf_frequency(unsigned word) { return word == 0 ? 0 : ((41450 / word + 5) / 10) * 1000; }
// The sendir offset: where a repeated sending starts again, counted from 1 among
// the durations, just after the once sequence's pairs.
constexpr unsigned ccf_repeat_offset(unsigned once_pairs) { return 2 * once_pairs + 1; }
// What GlobalCache_SendCCF sends: a valid shape with a frequency word that is not
// 0000. Everything else is refused with "Incorrect CCF Pattarn".
bool ccf_accepted(const char* text);
// The sendir line, with its CR, for an accepted text: its length, or -1 when the
// text is refused.
int ccf_to_sendir(const char* ccf, std::int32_t module, std::int32_t connector,
                  std::int32_t repeat, std::uint16_t id, char* out, std::size_t cap);

}  // namespace cvn
