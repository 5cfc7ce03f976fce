// The IVFC hash tree of a RomFS as its builder and its reader need it: where the levels lie in
// an image of a given size, and the writer that hashes level 3 into levels 2 and 1 while the
// builder streams it out. The checks and the superblock that other containers read are
// declared in RomFs.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ctr/Io.h"
#include "ctr/RomFs.h"
#include "ctr/Sha256.h"

namespace ctr {

// Where the levels of a RomFS whose level 3 is level3Size bytes go: the header and master hash,
// then levels 3, 1 and 2, each block-aligned.
IvfcLayout PlanIvfcLayout(std::uint64_t level3Size);

// Reads the IVFC header of the RomFS at [offset, offset + size) of file, as ReadIvfcLayout of
// RomFs.h does for any reader.
Result<IvfcLayout> ReadIvfcLayout(InputFile& file, std::uint64_t offset, std::uint64_t size);

// Level-3 bytes go through here: gathered into large chunks, each 0x1000-byte block hashed
// into level 2 as it passes, level-2 blocks hashed into level 1 as they fill. Level 2 goes
// straight to its place in the image, so memory stays at one chunk whatever the size. The
// output must be positioned at the start of level 3 (layout.levels[2].offset).
class HashingWriter {
 public:
  HashingWriter(OutputFile& out, const IvfcLayout& layout);

  Status Append(const std::uint8_t* data, std::size_t size);
  Status AppendZeros(std::uint64_t count);
  // Reads size bytes of a file straight into the chunk buffer.
  Status AppendFile(InputFile& in, std::uint64_t size);
  // Level-3 bytes appended so far.
  std::uint64_t written() const { return written_ + buffer_.size(); }

  // Pads level 3 to whole blocks, completes level 2, writes level 1 after level 3, and the
  // IVFC header with the master hash at the start of the image.
  Status Finish();

 private:
  Status FlushChunk();
  void AddLevel2Block();
  Status FlushLevel2();

  OutputFile& out_;
  const IvfcLayout& layout_;
  Sha256 hasher_;
  Sha256 secondHasher_;  // the second thread's
  std::vector<Sha256Digest> digests_;  // of the chunk's blocks
  std::vector<std::uint8_t> buffer_;
  std::uint64_t written_ = 0;
  std::vector<std::uint8_t> l2Block_;
  std::vector<std::uint8_t> l2Pending_;
  std::uint64_t l2Written_ = 0;
  std::vector<std::uint8_t> level1_;
};

}  // namespace ctr
