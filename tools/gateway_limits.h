// The ranges an infrared gateway checks the fields of a sendir command against,
// shared by the simulator (gcsim), which answers with an error for a value outside
// them, and ccf2sendir --check, which explains such values before they are sent.
#pragma once

#include <cstddef>

#include "../script/ccf.h"

namespace cvn::gateway {

// The gateways simulated here have one infrared module, 1, with three connectors.
constexpr unsigned long kModule = 1;
constexpr unsigned long kConnectors = 3;
constexpr unsigned long kMinFrequency = 15000;  // Hz
constexpr unsigned long kMaxFrequency = 500000;
constexpr unsigned long kMinRepeat = 1;
constexpr unsigned long kMaxRepeat = 50;
// The highest offset that may point inside the durations (a repeat part that starts
// later cannot be played); an offset past the last duration means no repeat part.
constexpr unsigned long kMaxOffset = 383;
// One burst pair, the shortest code a CCF text can carry.
constexpr std::size_t kMinDurations = kCcfMinDurations;
constexpr std::size_t kMaxDurations = 520;
constexpr unsigned long kMinDuration = 1;  // in carrier periods
constexpr unsigned long kMaxDuration = 65535;
// Every code the plug-in sends fits: its offset, when inside its durations, is
// never past kMaxOffset, and it has no more durations than a gateway takes.
static_assert(kCcfMaxDurations < kMaxOffset && kCcfMaxDurations <= kMaxDurations, "CCF codes fit a sendir");

// Error codes of the fields, as the gateway's replies carry them (ERR_1:c,nnn).
constexpr int kErrUnknownCommand = 1;
constexpr int kErrModule = 2;
constexpr int kErrConnector = 3;
constexpr int kErrId = 4;
constexpr int kErrFrequency = 5;
constexpr int kErrRepeat = 6;
constexpr int kErrOffset = 7;
constexpr int kErrDurationCount = 8;
constexpr int kErrDuration = 9;
constexpr int kErrOddDurations = 10;
constexpr int kErrSyntax = 17;

}  // namespace cvn::gateway
