#include "core/authoring/MakePatch.h"

#include <algorithm>

#include "core/rom/ImageFiles.h"
#include "core/common/Common.h"
#include "core/install/InstallMods.h"
#include "core/localization/Language.h"
#include "core/localization/TokenText.h"
#include "core/patches/ModPatch.h"
#include "core/rom/RomIdentify.h"
#include "ctr/Io.h"
#include "ctr/Ncch.h"
#include "ctr/PatchFormats.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

// A value in double quotes as the descriptor reader takes it back: a quote inside is doubled.
std::string Quoted(const std::string& value) {
  std::string text = "\"";
  for (const char c : value) text += c == '"' ? std::string("\"\"") : std::string(1, c);
  return text + "\"";
}

bool SameBytes(const fs::path& file, const std::vector<std::uint8_t>& bytes) {
  std::string content;
  std::error_code ec;
  if (fs::file_size(file, ec) != bytes.size() || ec || !ReadSmallFile(file, content)) return false;
  return std::equal(content.begin(), content.end(), bytes.begin(), bytes.end(),
                    [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

bool CopyInto(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::create_directories(to.parent_path(), ec);
  if (!ec) fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  return !ec;
}

class TPatchMaker {
 public:
  explicit TPatchMaker(const TMakePatchSettings& settings) : s_(settings) {}

  TMakePatchResult Run() {
    if (!Make() && result_.error.empty()) result_.error = T("MakePatchNotWritten");
    if (!result_.ok() && madeOut_) DeleteFolder(s_.out);
    return result_;
  }

 private:
  bool Fail(const std::string& why) {
    result_.error = why;
    return false;
  }

  // The author's language; a run without one names the keys, which still tell what happened.
  std::string T(const char* key, const std::vector<std::string>& values = {}) const {
    static const TLangList kNone;
    return FillMarks((s_.lang ? *s_.lang : kNone).GetLangText(key), values);
  }

  bool Make() {
    if (s_.title.empty()) return Fail(T("MakePatchNoTitle"));
    if (!FolderExists(s_.from)) return Fail(T("MakePatchNoFolder", {PathToUtf8(s_.from)}));
    const TRomIdentity id = IdentifyRom(s_.image);
    if (!id.Identified()) return Fail(T("PatchToolNotAnImage", {PathToUtf8(s_.image)}));
    const ctr::Status opened = image_.Open(s_.image);
    if (!opened) return Fail(opened.message());
    std::error_code ec;
    if (fs::exists(s_.out, ec) && !(fs::is_directory(s_.out, ec) && fs::is_empty(s_.out, ec))) {
      return Fail(T("MakePatchOutNotEmpty", {PathToUtf8(s_.out)}));
    }
    madeOut_ = !fs::exists(s_.out, ec);
    fs::create_directories(s_.out, ec);
    if (ec) return Fail(T("MakePatchCannotCreate", {PathToUtf8(s_.out), ec.message()}));
    if (s_.modFolder) {
      titleFolder_ = ModTitleFolderName(image_.ProgramId());
      romfsOut_ = PathFromUtf8(titleFolder_) / "romfs";
      fs::create_directories(s_.out / PathFromUtf8(titleFolder_), ec);
      if (ec) return Fail(T("MakePatchCannotCreate", {PathToUtf8(s_.out / PathFromUtf8(titleFolder_)), ec.message()}));
    }

    if (!(s_.modFolder ? AddProgramPatch() : AddExeFs())) return false;
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator it(s_.from, ec), end; !ec && it != end; it.increment(ec)) {
      const fs::path relative = it->path().lexically_relative(s_.from);
      if (it->is_symlink(ec)) {
        result_.lines.push_back(T("MakePatchLeftOutLink", {GenericUtf8(relative)}));
        if (it->is_directory(ec)) it.disable_recursion_pending();
        continue;
      }
      if (it.depth() == 0 && it->is_directory(ec) && relative == "exefs") {
        it.disable_recursion_pending();
        continue;
      }
      if (it->is_regular_file(ec)) files.push_back(relative);
    }
    if (ec) return Fail(T("MakePatchCannotRead", {PathToUtf8(s_.from), ec.message()}));
    std::sort(files.begin(), files.end());
    for (const fs::path& relative : files) {
      if (!AddRomFsFile(relative)) return false;
    }

    if (s_.modFolder) {
      if (!WriteReadme()) return false;
    } else if (!WriteDescriptor(id)) {
      return false;
    }
    if (changed_ == 0) result_.lines.push_back(T("MakePatchNothingChanged"));
    result_.patchBytes = TreeSize(s_.out);
    result_.imageBytes = fs::file_size(s_.image, ec);
    return true;
  }

  bool WriteDescriptor(const TRomIdentity& id) {
    std::string datMD5, incMD5;
    if (image_.Find("pack.dat") && image_.Find("pack.inc")) {
      // The digests let the install refuse an image the delta was not made for.
      datMD5 = Digest("pack.dat");
      incMD5 = Digest("pack.inc");
      if (datMD5.empty() || incMD5.empty()) return false;
    }
    const std::string dsc = s_.language + ".dsc";
    const std::string text = DescriptorText(id.gameCode, RegionCode(id.regionIndex),
                                            s_.title, s_.description, datMD5, incMD5);
    if (!WriteBytes(s_.out / PathFromUtf8(dsc), text)) return Fail(T("MakePatchCannotWrite", {dsc}));
    result_.lines.push_back(T("MakePatchDescriptorLine", {dsc, id.gameCode, RegionCode(id.regionIndex)}));
    return true;
  }

  // A mod folder has no descriptor: the patch list names it by its folder and shows the
  // read-me beside the title folder as its description.
  bool WriteReadme() {
    std::string text = "\xEF\xBB\xBF" + s_.title + "\r\n";
    if (!s_.description.empty()) text += "\r\n" + NormalizeLineBreaks(s_.description);
    if (!WriteBytes(s_.out / "readme.txt", text)) return Fail(T("MakePatchCannotWrite", {"readme.txt"}));
    result_.lines.push_back(T("MakePatchReadmeLine", {"readme.txt"}));
    return true;
  }

  static bool WriteBytes(const fs::path& path, const std::string& bytes) {
    ctr::OutputFile file;
    ctr::Status status = file.Open(path);
    if (status) status = file.Write(bytes.data(), bytes.size());
    if (status) status = file.Commit();
    return status.ok();
  }

  std::string Digest(const std::string& path) {
    const fs::path scratch = s_.out / ("digest" + std::string(ctr::kTemporaryOutputSuffix));
    const auto entry = image_.Find(path);
    const ctr::Status copied = image_.CopyRomFsFile(*entry, scratch);
    std::string md5;
    if (copied) md5 = FileMD5(scratch);
    RemoveFile(scratch);
    if (!copied) Fail(T("MakePatchCannotReadFromImage", {path, copied.message()}));
    return md5;
  }

  // Calls take(file, name, the image's bytes or null for a new file) for each file of the tree's
  // exefs/ that differs from the image's; links and other non-files are named and left out.
  // False when a read failed or take did.
  template <typename Take>
  bool ForEachChangedExeFsFile(Take take) {
    const fs::path folder = s_.from / "exefs";
    if (!FolderExists(folder)) return true;
    auto original = image_.ExeFsFiles();
    if (!original) return Fail(T("MakePatchNoImageExeFs", {original.message()}));
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = PathToUtf8(it->path().filename());
      if (it->is_symlink(ec) || !it->is_regular_file(ec)) {
        result_.lines.push_back(T("MakePatchLeftOutNotFile", {"exefs/" + name}));
        continue;
      }
      const auto same = original->find(name);
      const std::vector<std::uint8_t>* bytes = same == original->end() ? nullptr : &same->second;
      if (bytes && SameBytes(it->path(), *bytes)) continue;
      if (!take(it->path(), name, bytes)) return false;
    }
    if (ec) return Fail(T("MakePatchCannotRead", {PathToUtf8(folder), ec.message()}));
    return true;
  }

  bool AddExeFs() {
    return ForEachChangedExeFsFile([this](const fs::path& file, const std::string& name, const auto* original) {
      if (!CopyInto(file, s_.out / "exefs" / file.filename())) return Fail(T("MakePatchCannotCopy", {"exefs/" + name}));
      result_.lines.push_back(T(original ? "MakePatchChangedFile" : "MakePatchNewFile", {"exefs/" + name}));
      ++changed_;
      return true;
    });
  }

  bool AddRomFsFile(const fs::path& relative) {
    const std::string path = GenericUtf8(relative);
    const fs::path source = s_.from / relative;
    const auto entry = image_.Find(path);
    if (entry && image_.SameAsRomFsFile(source, *entry)) return true;
    ++changed_;
    // A loader replaces whole files: a mod folder cannot carry a delta.
    if (path == "pack.dat" && entry && !s_.modFolder) return AddDelta(source, *entry);
    if (!CopyInto(source, s_.out / romfsOut_ / relative)) return Fail(T("MakePatchCannotCopy", {path}));
    result_.lines.push_back(T(entry ? "MakePatchChangedFile" : "MakePatchNewFile", {GenericUtf8(romfsOut_ / relative)}));
    return true;
  }

  // The program of a mod folder: a BPS patch from the image's program, which carries the
  // changes and not the game's own code, and an extended header with room for a program that
  // grew. The other ExeFS files have no place in a mod folder.
  bool AddProgramPatch() {
    return ForEachChangedExeFsFile([this](const fs::path& file, const std::string& name, const auto* original) {
      if (name != "code.bin") {
        result_.lines.push_back(T("MakePatchLeftOutExeFs", {"exefs/" + name}));
        return true;
      }
      if (!original) return Fail(T("MakePatchNoProgram", {"exefs/code.bin"}));
      std::error_code ec;
      if (fs::file_size(file, ec) > ProgramPatchBound(original->size()) || ec) {
        return Fail(T("MakePatchProgramTooLarge", {"exefs/code.bin"}));
      }
      auto program = ctr::ReadWholeFile(file);
      if (!program) return Fail(T("MakePatchCannotRead", {"exefs/code.bin", program.message()}));
      const fs::path title = PathFromUtf8(titleFolder_);
      const std::vector<std::uint8_t> bps = ctr::MakeBps(*original, *program);
      if (!ctr::WriteWholeFile(s_.out / title / "code.bps", bps)) return Fail(T("MakePatchCannotWrite", {"code.bps"}));
      result_.lines.push_back(T("MakePatchPatchLine", {titleFolder_ + "/code.bps", "exefs/code.bin", std::to_string(bps.size())}));
      ++changed_;
      return AddExheader(program->size());
    });
  }

  bool AddExheader(std::uint64_t programSize) {
    auto original = image_.Exheader();
    if (!original) return Fail(T("MakePatchNoExHeader", {original.message()}));
    const auto info = ctr::ReadLE<ctr::ExheaderCodeSetInfo>(*original, ctr::kExheaderCodeSetOffset);
    if (!info || programSize <= ctr::ProgramRoom(*info)) return true;
    // Without the access descriptor, which is the console maker's and which a loader keeps.
    const auto grown = ctr::ExheaderWithRoomFor(*original, programSize);
    if (!grown) return Fail(T("MakePatchExHeaderTooSmall", {"exefs/code.bin"}));
    if (!ctr::WriteWholeFile(s_.out / PathFromUtf8(titleFolder_) / "exheader.bin", *grown)) {
      return Fail(T("MakePatchCannotWrite", {"exheader.bin"}));
    }
    // Where the sections of a program that grew lie only its authors know: say what was assumed.
    const auto room = ctr::ReadLE<ctr::ExheaderCodeSetInfo>(*grown, ctr::kExheaderCodeSetOffset);
    result_.lines.push_back(T("MakePatchExHeaderLine", {titleFolder_ + "/exheader.bin", std::to_string(ctr::ProgramRoom(*room)),
                                                        std::to_string(ctr::ProgramRoom(*info))}));
    return true;
  }

  // The delta carries only what changed; the game's own data stays out of the patch.
  bool AddDelta(const fs::path& translated, const ctr::RomFsReader::FileEntry& entry) {
    const fs::path old = s_.out / ("pack.dat" + std::string(ctr::kTemporaryOutputSuffix));
    const ctr::Status copied = image_.CopyRomFsFile(entry, old);
    if (!copied) {
      RemoveFile(old);
      return Fail(T("MakePatchCannotReadFromImage", {"pack.dat", copied.message()}));
    }
    const fs::path delta = s_.out / "patch.xdelta";
    std::string reason;
    std::uint32_t code = 1;
    try {
      code = RunTool(QuoteArgument(PathToUtf8(ToolPath(s_.folders, "xdelta"))),
                     "-e -f -s " + QuoteArgument(PathToUtf8(old)) + " " + QuoteArgument(PathToUtf8(translated)) + " " +
                         QuoteArgument(PathToUtf8(delta)),
                     fs::path(), &reason);
    } catch (const std::exception& error) {
      reason = error.what();
    }
    RemoveFile(old);
    if (code != 0) return Fail(T("MakePatchDeltaFailed", {"pack.dat"}) + (reason.empty() ? "" : " " + reason));
    std::error_code ec;
    result_.lines.push_back(T("MakePatchPatchLine", {"patch.xdelta", "pack.dat", std::to_string(fs::file_size(delta, ec))}));
    return true;
  }

  const TMakePatchSettings& s_;
  TMakePatchResult result_;
  TImageFiles image_;
  bool madeOut_ = false;
  int changed_ = 0;
  std::string titleFolder_;               // a mod folder's, named by the program ID
  fs::path romfsOut_ = fs::path("romfs");  // where the RomFS files go, in out
};

}  // namespace

std::string DescriptorText(const std::string& game, const std::string& region, const std::string& title,
                           const std::string& description, const std::string& packDatMD5,
                           const std::string& packIncMD5) {
  // A byte-order mark, so that every player's editor and our reader take the text as UTF-8.
  std::string text = "\xEF\xBB\xBF";
  text += "Game=" + game + "\r\n";
  text += "Region=" + region + "\r\n";
  text += "Title=" + Quoted(title) + "\r\n";
  text += "Description=" + Quoted(NormalizeLineBreaks(description)) + "\r\n";
  text += "OriginalPackDatMD5=" + Quoted(packDatMD5) + "\r\n";
  text += "OriginalPackIncMD5=" + Quoted(packIncMD5) + "\r\n";
  return text;
}

TMakePatchResult MakePatch(const TMakePatchSettings& settings) { return TPatchMaker(settings).Run(); }

}  // namespace qpt
