// Readers of the two patch formats that mod folders use for a title's program (code.ips,
// code.bps), and the BPS writer that patch authoring uses. All work on memory: a program is at most a few tens of MiB, and a patch must be
// refused as a whole before anything is written, so there is no streaming.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ctr/Io.h"

namespace ctr {

// Applies an IPS patch to source and returns the patched bytes. Records may write past the
// end of source, which extends it (with zeros in any gap); the optional length after EOF cuts
// the result down. maxSize bounds the result (the caller derives it from the program's
// size): a patch that would write beyond it, or a result larger than it, is refused. A patch
// that is cut short or has bytes after its end is refused too. Failures name the file as
// code.ips and say what is wrong.
Result<std::vector<std::uint8_t>> ApplyIps(std::span<const std::uint8_t> source, std::span<const std::uint8_t> patch,
                                           std::uint64_t maxSize);

// Applies a BPS patch to source and returns the patched bytes. Before anything is applied the
// patch's own CRC-32, the source size and the source's CRC-32 are checked, and the declared
// target size against maxSize; every action is checked against the bounds of source, patch
// and target; the result must have the declared size and CRC-32. Failures name the file as
// code.bps and say what is wrong.
Result<std::vector<std::uint8_t>> ApplyBps(std::span<const std::uint8_t> source, std::span<const std::uint8_t> patch,
                                           std::uint64_t maxSize);

// A BPS patch that makes target of source: runs that equal the source's at the same offset
// are read from it, runs found elsewhere in the source (code that moved) are copied from
// there, and only the rest is carried in the patch, so that a patch of a program holds the
// changes and as little of the rest as it can. No metadata; the three CRC-32s are set.
std::vector<std::uint8_t> MakeBps(std::span<const std::uint8_t> source, std::span<const std::uint8_t> target);

}  // namespace ctr
