#include "support/RawImages.h"

#include <cstring>
#include <fstream>

#include "support/TempDir.h"

namespace qpt::test {

namespace {

void Put32(std::string& b, std::uint64_t at, std::uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4, '\0');
  std::memcpy(b.data() + at, &v, 4);
}
void Put64(std::string& b, std::uint64_t at, std::uint64_t v) {
  if (b.size() < at + 8) b.resize(at + 8, '\0');
  std::memcpy(b.data() + at, &v, 8);
}
void PutText(std::string& b, std::uint64_t at, const std::string& text) {
  if (b.size() < at + text.size()) b.resize(at + text.size(), '\0');
  std::memcpy(b.data() + at, text.data(), text.size());
}

}  // namespace

RawImage MakeRawImage(const RawImageOptions& o) {
  std::string b;
  std::uint64_t base = 0, pidAt = 0x118, secondAt = 0x400, romfsAt = 0x1B0;
  const std::uint64_t l3Extra = 0x1000;
  if (o.kind == ".cia") {
    Put32(b, 0, 0x2020);
    Put32(b, 8, 0xA00);
    Put32(b, 12, 0x350);
    Put32(b, 16, 0xB34);
    base = 0x2040 + 0xA00 + 0x380 + 0xB40;
    PutText(b, base + 0x100, "NCCH");
    pidAt += base;
    secondAt += base;
    romfsAt += base;
  } else if (o.kind == ".3ds") {
    PutText(b, 0x100, "NCSD");
    PutText(b, 0x4100, "NCCH");
    pidAt = 0x1118;
    secondAt = 0x43C8;
    romfsAt = 0x11B0;
    base = 0x4000;  // partition 0; its RomFS offset counts from here
  } else {
    PutText(b, 0x100, "NCCH");
  }
  Put64(b, pidAt, o.programId);
  Put64(b, secondAt, o.encrypted ? o.programId ^ 0x1111 : o.programId);
  const std::uint32_t romfsMU = static_cast<std::uint32_t>((0x1000 + o.leadingPadding) / 0x200);
  Put32(b, romfsAt, romfsMU);

  RawImage image;
  image.tailOffset = base + romfsMU * 0x200ull;
  if (b.size() > image.tailOffset) b.resize(image.tailOffset);
  image.head = b;
  std::string& t = image.tail;
  // Positions below are relative to the start of the tail (the RomFS).
  const std::uint64_t l3 = l3Extra;
  const std::uint32_t metaTable = 0x200, dataOffset = 0x2000, soundData = 0x340;
  Put32(t, l3 + 0x1C, metaTable);
  Put32(t, l3 + 0x24, dataOffset);
  if (o.entry >= 0) Put32(t, l3 + metaTable + static_cast<std::uint32_t>(o.entry), soundData);
  const std::uint64_t archive = l3 + dataOffset + soundData;
  PutText(t, archive, "CSAR");
  const std::uint32_t infoOffset = 0x40;
  Put32(t, archive + 0x24, infoOffset);
  const std::uint64_t info = archive + infoOffset;
  PutText(t, info, "INFO");
  t.resize(info + 0xE400, '\0');
  for (const auto& [offset, name] : o.streamNames) PutText(t, info + static_cast<std::uint64_t>(offset), name);
  image.soundInfoPos = static_cast<std::int64_t>(image.tailOffset + info);
  return image;
}

std::string RawImage::Bytes() const {
  std::string all = head;
  all.resize(tailOffset, '\0');
  return all + tail;
}

std::int64_t WriteRawImage(const std::filesystem::path& path, const RawImageOptions& options) {
  const RawImage image = MakeRawImage(options);
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(image.head.data(), static_cast<std::streamsize>(image.head.size()));
  out.seekp(static_cast<std::streamoff>(image.tailOffset));
  out.write(image.tail.data(), static_cast<std::streamsize>(image.tail.size()));
  return image.soundInfoPos;
}

}  // namespace qpt::test
