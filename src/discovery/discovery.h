#pragma once
// Finding the drives the release applies to.

#include <cstdint>

namespace oddfw {

struct Run;

// Probes every candidate device and keeps those the release applies to in
// the target table. Returns their number.
int32_t DiscoverTargets(Run& run);

// True when pass-through discovery could open no drive letter and was
// refused at least one for want of access rights: the user runs the program
// without administrator rights.
bool AccessRightsMissing(const Run& run);

// The index of the definition entry that applies to a drive with this INQUIRY
// data (and the vendor identity last read), or -1.
int32_t MatchUpdateDefinition(Run& run, const uint8_t* inquiryData);

}  // namespace oddfw
