// One read of a file, in large blocks, that serves several digests at once: every range gets
// the bytes it covers as they pass, and the SHA-256 of the whole file, when one is wanted,
// runs on a further thread over the same blocks, as do the ranges set aside. A range's digest
// is therefore known as soon as its last byte is read, not when the whole file is hashed, and
// a file that must be hashed whole and in parts is read once, not once for each, with its
// digests spread over the cores.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "ctr/Reader.h"
#include "ctr/Sha256.h"

namespace ctr {

struct PassRange {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  // Gets the range's bytes in order, on the reading thread (or, set aside, on the thread of
  // the ranges set aside).
  std::function<void(const std::uint8_t* data, std::size_t size)> update;
  // Called once for every range: Ok when all its bytes went to update, otherwise why not (it
  // passes the end of the file, a read failed, or the pass was stopped). A failure ends every
  // range still open on the reading thread, after the further threads are done.
  std::function<void(const Status& status)> done;
  // Fed on a thread of their own, beside the reading thread and the whole file's hash: for a
  // digest that would otherwise take turns with the others on the same core.
  bool aside = false;
};

// Reads in from its first byte to its last when wholeFile is given, feeding every byte to it;
// without wholeFile only the ranges' bytes are read, once where ranges overlap. stop (may be
// null) ends the pass early. Returns the first failure, after every range's done was called;
// wholeFile holds the whole file only when the result is Ok.
Status RunFilePass(Reader& in, std::vector<PassRange> ranges, Sha256* wholeFile,
                   const std::atomic<bool>* stop = nullptr);
// The same over the file at path, with a reader of its own (so that it may run on a thread of
// its own); a file that cannot be opened ends every range with the reason.
Status RunFilePass(const std::filesystem::path& path, std::vector<PassRange> ranges, Sha256* wholeFile,
                   const std::atomic<bool>* stop = nullptr);

}  // namespace ctr
