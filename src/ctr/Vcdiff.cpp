#include "ctr/Vcdiff.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace ctr {

namespace {

constexpr std::uint8_t kMagic[4] = {0xD6, 0xC3, 0xC4, 0x00};
// Header indicator: a secondary compressor's id follows, a code table follows, and (xdelta3's
// own) an application header follows. Sections compressed by the secondary compressor lie
// inside the windows' delta encodings, which are copied as they are.
constexpr std::uint8_t kSecondary = 0x01, kCodeTable = 0x02, kAppHeader = 0x04;
// Window indicator: the window copies from the source, from the target, and (xdelta3's own)
// carries the Adler-32 of what it makes, inside its delta encoding.
constexpr std::uint8_t kSourceWindow = 0x01, kTargetWindow = 0x02, kAdler32 = 0x04;

// Reads the delta front to back through a small buffer: the headers are read a byte at a time,
// the delta encodings between them are skipped and copied by the kernel.
class TDeltaReader {
 public:
  explicit TDeltaReader(InputFile& in) : in_(in) {}
  std::uint64_t position() const { return position_; }
  std::uint64_t left() const { return in_.size() - position_; }

  Status Byte(std::uint8_t& byte) {
    if (position_ >= in_.size()) return Status::Error("the delta is cut short");
    if (position_ < start_ || position_ - start_ >= buffer_.size()) {
      buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(64 * 1024, left())));
      start_ = position_;
      if (Status s = in_.ReadAt(start_, buffer_.data(), buffer_.size()); !s) return s;
    }
    byte = buffer_[static_cast<std::size_t>(position_ - start_)];
    ++position_;
    return Status::Ok();
  }

  // A variable-length integer: seven bits a byte, most significant first, the high bit set on
  // every byte but the last.
  Status Integer(std::uint64_t& value) {
    value = 0;
    for (int i = 0; i < 10; ++i) {
      std::uint8_t byte = 0;
      if (Status s = Byte(byte); !s) return s;
      if (value > (std::numeric_limits<std::uint64_t>::max() >> 7)) break;
      value = (value << 7) | (byte & 0x7F);
      if ((byte & 0x80) == 0) return Status::Ok();
    }
    return Status::Error("the delta holds a number too large");
  }

  Status Skip(std::uint64_t size) {
    if (size > left()) return Status::Error("the delta is cut short");
    position_ += size;
    return Status::Ok();
  }

 private:
  InputFile& in_;
  std::uint64_t position_ = 0;
  std::uint64_t start_ = 0;
  std::vector<std::uint8_t> buffer_;
};

void PutInteger(std::vector<std::uint8_t>& out, std::uint64_t value) {
  std::uint8_t bytes[10];
  int n = 0;
  do {
    bytes[n++] = static_cast<std::uint8_t>(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  while (n > 0) {
    --n;
    out.push_back(static_cast<std::uint8_t>(bytes[n] | (n > 0 ? 0x80 : 0)));
  }
}

// Copies the header field of size bytes that starts at the reader's position.
Status CopyBytes(TDeltaReader& reader, std::uint64_t size, std::vector<std::uint8_t>& out) {
  if (size > reader.left()) return Status::Error("the delta is cut short");
  for (std::uint64_t i = 0; i < size; ++i) {
    std::uint8_t byte = 0;
    if (Status s = reader.Byte(byte); !s) return s;
    out.push_back(byte);
  }
  return Status::Ok();
}

}  // namespace

Status ShiftVcdiffSource(const std::filesystem::path& delta, const std::filesystem::path& out, std::uint64_t shift,
                         std::uint64_t sourceSize) {
  InputFile in;
  if (Status s = in.Open(delta); !s) return s;
  TDeltaReader reader(in);
  std::vector<std::uint8_t> header;
  for (const std::uint8_t expected : kMagic) {
    std::uint8_t byte = 0;
    if (!reader.Byte(byte) || byte != expected) return Status::Error("not a VCDIFF delta");
    header.push_back(byte);
  }
  std::uint8_t indicator = 0;
  if (Status s = reader.Byte(indicator); !s) return s;
  if ((indicator & ~(kSecondary | kCodeTable | kAppHeader)) != 0) return Status::Error("an unknown VCDIFF header");
  header.push_back(indicator);
  if (indicator & kSecondary) {
    if (Status s = CopyBytes(reader, 1, header); !s) return s;
  }
  for (const std::uint8_t part : {kCodeTable, kAppHeader}) {
    if ((indicator & part) == 0) continue;
    std::uint64_t size = 0;
    if (Status s = reader.Integer(size); !s) return s;
    PutInteger(header, size);
    if (Status s = CopyBytes(reader, size, header); !s) return s;
  }

  OutputFile file;
  if (Status s = file.Open(out); !s) return s;
  if (Status s = file.Write(header.data(), header.size()); !s) return s;
  std::vector<std::uint8_t> window;
  while (reader.left() > 0) {
    window.clear();
    std::uint8_t kind = 0;
    if (Status s = reader.Byte(kind); !s) return s;
    if ((kind & ~(kSourceWindow | kTargetWindow | kAdler32)) != 0 ||
        (kind & (kSourceWindow | kTargetWindow)) == (kSourceWindow | kTargetWindow)) {
      return Status::Error("an unknown VCDIFF window");
    }
    window.push_back(kind);
    if (kind & (kSourceWindow | kTargetWindow)) {
      std::uint64_t size = 0, position = 0;
      if (Status s = reader.Integer(size); !s) return s;
      if (Status s = reader.Integer(position); !s) return s;
      if (kind & kSourceWindow) {
        if (position > sourceSize || size > sourceSize - position) {
          return Status::Error("a window of the delta reads beyond the end of its source");
        }
        if (shift > std::numeric_limits<std::uint64_t>::max() - position) {
          return Status::Error("the delta's source lies too far into the file");
        }
        position += shift;
      }
      PutInteger(window, size);
      PutInteger(window, position);
    }
    std::uint64_t encoding = 0;
    if (Status s = reader.Integer(encoding); !s) return s;
    PutInteger(window, encoding);
    const std::uint64_t at = reader.position();
    if (Status s = reader.Skip(encoding); !s) return s;
    if (Status s = file.Write(window.data(), window.size()); !s) return s;
    if (Status s = file.AppendFrom(in, at, encoding); !s) return s;
  }
  return file.Commit();
}

}  // namespace ctr
