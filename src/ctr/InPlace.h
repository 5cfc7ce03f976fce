// Changing a few bytes of an existing image in place and bringing its hash chain up to date:
// the RomFS hash levels over the changed blocks up to the master hash, the NCCH header's RomFS
// hash (and the copy of that header a card image keeps), and in a CIA the content's hash in
// the TMD with the hashes over it. This is for the music names a player asks to have written
// straight into the image they own; everything else builds a new image.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "ctr/Io.h"
#include "ctr/Reader.h"

namespace ctr {

// An image file opened for changing in place. Every write keeps the bytes it replaces, so
// that Undo can put the file back as it was when it was opened. Thread: one user at a time.
class FileEditor : public Reader {
 public:
  Status Open(const std::filesystem::path& path);
  void Close();
  std::uint64_t size() const override { return file_.size(); }
  Status ReadAt(std::uint64_t offset, void* data, std::size_t size) override;
  std::string name() const override;

  // Writes inside the file, never past its end, after keeping the bytes it replaces. A write
  // that fails part-way has still kept them. Virtual so that a test can make a write fail.
  virtual Status WriteAt(std::uint64_t offset, const void* data, std::size_t size);
  // Asks the system to put what was written on the storage device.
  Status Sync();
  // Puts back every byte written since Open, the latest write first, and syncs. Afterwards
  // nothing is kept any more.
  Status Undo();

 private:
  struct Kept {
    std::uint64_t offset;
    std::vector<std::uint8_t> bytes;
  };
  UpdateFile file_;
  std::vector<Kept> kept_;
};

// Bytes to put at an offset of the image file.
struct ImageEdit {
  std::uint64_t offset = 0;
  std::vector<std::uint8_t> bytes;
};

enum class EditOutcome {
  Done,     // written, every hash over it up to date, synced
  Refused,  // nothing written: the image or an edit is not one this can change
  Undone,   // a write failed; everything written was put back
  Damaged,  // a write failed, and so did putting the old bytes back
};

struct EditResult {
  EditOutcome outcome = EditOutcome::Done;
  std::string message;  // why, when not Done
  bool ok() const { return outcome == EditOutcome::Done; }
};

// Writes the edits into the image and brings every hash over them up to date. Each edit must
// lie inside level 3 (the file system) of the main NCCH's RomFS, which must be stored
// decrypted; that and every structure the hashes live in are checked before the first write.
// Only the edited bytes and the hashes over them are rewritten; a CIA's content is read once
// for its new hash. A card image's partition table holds no hash of the partition, so there
// only the NCCH and the header copy change. When a write fails, everything written is put
// back: the image holds all of the change or none of it. After success the old bytes are
// still kept in image, so that a caller who finds the result wanting can Undo it.
EditResult EditImageInPlace(FileEditor& image, const std::vector<ImageEdit>& edits);

}  // namespace ctr
