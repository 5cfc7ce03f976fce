#include "ctr/Image.h"

#include "ctr/Cia.h"
#include "ctr/Ncsd.h"

namespace ctr {

ImageKind DetectImageKind(Reader& in) {
  std::uint32_t headerSize = 0;
  char magic[4] = {};
  if (in.size() >= 4 && in.ReadAt(0, &headerSize, 4) && headerSize == kCiaHeaderSize) return ImageKind::Cia;
  if (in.size() >= 0x104 && in.ReadAt(0x100, magic, 4)) {
    if (std::memcmp(magic, "NCSD", 4) == 0) return ImageKind::Ncsd;
    if (std::memcmp(magic, "NCCH", 4) == 0) return ImageKind::Ncch;
  }
  return ImageKind::Unknown;
}

Result<ByteRange> LocateMainNcch(Reader& in) {
  switch (DetectImageKind(in)) {
    case ImageKind::Cia: {
      auto cia = ReadCia(in);
      if (!cia) return cia.status();
      return CiaMainContent(*cia, in.name());
    }
    case ImageKind::Ncsd: {
      auto ncsd = ReadNcsd(in);
      if (!ncsd) return ncsd.status();
      const ByteRange p0 = ncsd->Partition(0);
      if (!p0.present()) return Status::Error(in.name() + " has no partition 0");
      return p0;
    }
    case ImageKind::Ncch:
      return ByteRange{0, in.size()};
    case ImageKind::Unknown:
      break;
  }
  return Status::Error(in.name() + " is neither a CIA, a card image nor an NCCH");
}

}  // namespace ctr
