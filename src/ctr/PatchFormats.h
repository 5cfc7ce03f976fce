// Readers of the patch formats that mod folders use for a title's program (code.ips). They
// work on memory: a program is at most a few tens of MiB, and a patch must be refused as a
// whole before anything is written, so there is no streaming.
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

}  // namespace ctr
