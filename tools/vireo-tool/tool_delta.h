// Making delta patches for publishing: a zstd frame of the new file
// compressed with the old one as its reference prefix and long-distance
// matching (the form engine/delta_patch.h applies), and for a program also
// the form with an address map (tool_delta_pe.cpp finds the map). Only the
// native build links libzstd's encoder; the Windows build of the tool makes
// no patches (CanMakeDeltaPatches is false there) but still checks them.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "engine/pe_address_transform.h"

namespace VireoTool {

// True when this build can make patches.
bool CanMakeDeltaPatches();

// The patch that turns `base` into `target`, declaring its content size and
// carrying the frame checksum. When both are x86-64 programs, the patch
// with an address map (engine/delta_patch.h) is made too, and the smaller
// of the two that applies is kept. False, with *error set, when the encoder
// fails or this build has none.
[[nodiscard]] bool MakeDeltaPatch(std::string_view base, std::string_view target, std::string* patch,
                                  std::string* error);

// The segments of an address map between two builds of an x86-64 program
// (none when either is not one).
std::vector<PeAddress::Segment> MatchBuilds(std::string_view base, std::string_view target);

}  // namespace VireoTool
