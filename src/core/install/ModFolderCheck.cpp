#include "core/install/ModFolderCheck.h"

#include <algorithm>
#include <set>
#include <system_error>

#include "core/common/Common.h"
#include "core/common/Volume.h"
#include "core/install/Receipt.h"
#include "ctr/Io.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

// A receipt lists a few hundred files at most; anything near this size is not one of ours.
constexpr std::uintmax_t kMaxReceiptSize = std::uintmax_t{16} << 20;
constexpr std::size_t kShaDigits = 64;

// "DIR/00040000001BD200/" names the same title folder as "DIR/00040000001BD200", and its
// receipt is "DIR/00040000001BD200.txt", not a ".txt" inside it. Absolute, so that the folder
// holding it can be named.
fs::path TitleFolderPath(const fs::path& titleFolder) {
  std::error_code ec;
  fs::path folder = fs::absolute(titleFolder, ec);
  if (ec) folder = titleFolder;
  return folder.has_filename() || !folder.has_parent_path() ? folder : folder.parent_path();
}

bool LowerHex(const std::string& text, std::size_t at, std::size_t count) {
  if (text.size() < at + count) return false;
  return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at),
                     text.begin() + static_cast<std::ptrdiff_t>(at + count),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Whether a listed path stays inside the title folder on every system: relative, '/' only,
// no empty, "." or ".." part, no drive (':') and no control characters.
bool SafeRelativePath(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.back() == '/') return false;
  for (const char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '\\' || c == ':') return false;
  }
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

// The type of the entry at path itself (a link is not followed); not_found is no error.
fs::file_type TypeOf(const fs::path& path, std::error_code& ec) {
  const fs::file_type type = fs::symlink_status(path, ec).type();
  if (type == fs::file_type::not_found) ec.clear();
  return type;
}

// How the folders above a listed file are: all plain folders (Good), one missing (Missing), or
// one that is a link or no folder at all (Changed: the file is not where the run wrote it, and
// nothing is deleted through a link).
TModFileState ParentsOf(const fs::path& folder, const std::string& path) {
  fs::path at = folder;
  for (std::size_t start = 0, slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
    at /= PathFromUtf8(path.substr(start, slash - start));
    std::error_code ec;
    const fs::file_type type = TypeOf(at, ec);
    if (ec) return TModFileState::Unreadable;
    if (type == fs::file_type::not_found) return TModFileState::Missing;
    if (type != fs::file_type::directory) return TModFileState::Changed;
  }
  return TModFileState::Good;
}

TModFileState StateOf(const fs::path& folder, const TModReceiptFile& file, const std::atomic<bool>* stop) {
  if (const TModFileState parents = ParentsOf(folder, file.path); parents != TModFileState::Good) return parents;
  const fs::path path = folder / PathFromUtf8(file.path);
  std::error_code ec;
  const fs::file_type type = TypeOf(path, ec);
  if (ec) return TModFileState::Unreadable;
  if (type == fs::file_type::not_found) return TModFileState::Missing;
  if (type != fs::file_type::regular) return TModFileState::Changed;
  // From the device, not the computer's cache: a card that lost a write must show it.
  const std::string sha256 = Sha256FromDevice(path, stop);
  if (sha256.empty()) return TModFileState::Unreadable;
  return sha256 == file.sha256 ? TModFileState::Good : TModFileState::Changed;
}

// Every entry below folder that is not a folder (links and other entries included), '/'-
// separated; links to folders are not followed.
std::vector<std::string> ListFiles(const fs::path& folder, std::error_code& ec) {
  std::vector<std::string> files;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code kind;
    if (it->is_symlink(kind) || !it->is_directory(kind))
      files.push_back(GenericUtf8(it->path().lexically_relative(folder)));
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string Text(const TLangList& lang, const char* key, const std::vector<std::string>& values) {
  return FillMarks(lang.GetLangText(key), values);
}

}  // namespace

std::optional<std::vector<TModReceiptFile>> ReadModReceipt(const fs::path& titleFolder) {
  const fs::path receipt = ReceiptPath(TitleFolderPath(titleFolder));
  std::error_code ec;
  if (!fs::is_regular_file(receipt, ec)) return std::nullopt;
  const std::uintmax_t size = fs::file_size(receipt, ec);
  std::string text;
  if (ec || size > kMaxReceiptSize || !ReadSmallFile(receipt, text) || text.size() > kMaxReceiptSize)
    return std::nullopt;
  // Written by any version of this program: "Quill Patch Tool v.<version> - <heading>", so that
  // a folder installed before an update can still be checked and removed.
  const std::string title = kProgramTitle;
  const std::string name = title.substr(0, title.rfind(" v.") + 3);
  const std::string first = text.substr(0, text.find('\n'));
  if (first.compare(0, name.size(), name) != 0 || first.find(" - ", name.size()) == std::string::npos) {
    return std::nullopt;
  }

  // The files are the one block of lines "  <sha256>  <path>"; the headings around them are
  // in the language of the run and say nothing that is needed here.
  std::vector<TModReceiptFile> files;
  std::set<std::string> seen;
  bool blockEnded = false;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool shaped = line.compare(0, 2, "  ") == 0 && LowerHex(line, 2, kShaDigits) &&
                        line.compare(2 + kShaDigits, 2, "  ") == 0 && line.size() > 4 + kShaDigits;
    if (!shaped) {
      blockEnded = !files.empty();
      continue;
    }
    if (blockEnded) continue;  // a log line that happens to look like one, after the block
    TModReceiptFile file{line.substr(4 + kShaDigits), line.substr(2, kShaDigits)};
    if (!SafeRelativePath(file.path) || !seen.insert(file.path).second) return std::nullopt;
    files.push_back(std::move(file));
  }
  if (files.empty()) return std::nullopt;
  return files;
}

TModFolderReport CheckModFolder(const fs::path& titleFolder, const TLangList& lang, const std::atomic<bool>* stop,
                                const std::function<void(std::size_t, std::size_t)>& progress) {
  TModFolderReport report;
  const fs::path folder = TitleFolderPath(titleFolder);
  const auto listed = ReadModReceipt(folder);
  if (!listed) {
    report.lines.push_back(Text(lang, "ModCheckNoReceipt", {PathToUtf8(folder), PathToUtf8(ReceiptPath(folder))}));
    return report;
  }
  report.receiptOurs = true;
  std::set<std::string> written;
  std::size_t bad = 0;
  for (const TModReceiptFile& file : *listed) {
    if (stop && stop->load()) {
      report.stopped = true;
      return report;
    }
    written.insert(file.path);
    const TModFileState state = StateOf(folder, file, stop);
    report.files.push_back({file.path, state});
    static const char* const kKeys[] = {"", "ModCheckMissing", "ModCheckChanged", "ModCheckUnreadable"};
    if (state != TModFileState::Good) {
      ++bad;
      report.lines.push_back(Text(lang, kKeys[static_cast<int>(state)], {file.path}));
    }
    if (progress) progress(report.files.size(), listed->size());
  }
  if (stop && stop->load()) {
    report.stopped = true;
    return report;
  }
  std::error_code ec;
  if (TypeOf(folder, ec) == fs::file_type::directory) {
    for (std::string& path : ListFiles(folder, ec)) {
      if (!written.count(path)) report.others.push_back(std::move(path));
    }
    if (ec) report.listFailure = ctr::SystemReason(ec);
  }
  for (const std::string& path : report.others) report.lines.push_back(Text(lang, "ModCheckNotWritten", {path}));

  const std::string total = std::to_string(report.files.size());
  if (bad) {
    report.lines.push_back(Text(lang, "ModCheckSomeBad", {std::to_string(bad), total}));
  } else if (!report.listFailure.empty()) {
    report.lines.push_back(Text(lang, "ModCheckListFailed", {report.listFailure}));
  } else {
    report.ok = true;
    report.lines.push_back(report.others.empty()
                               ? Text(lang, "ModCheckAllGood", {total})
                               : Text(lang, "ModCheckGoodWithOthers", {total, std::to_string(report.others.size())}));
  }
  return report;
}

TModRemovalPlan PlanModFolderRemoval(const fs::path& titleFolder) {
  TModRemovalPlan plan;
  const fs::path folder = TitleFolderPath(titleFolder);
  const auto listed = ReadModReceipt(folder);
  if (!listed) return plan;
  plan.receiptOurs = true;
  std::set<std::string> written;
  for (const TModReceiptFile& file : *listed) {
    written.insert(file.path);
    std::error_code ec;
    const fs::file_type type = TypeOf(folder / PathFromUtf8(file.path), ec);
    if (ParentsOf(folder, file.path) == TModFileState::Good && !ec && type != fs::file_type::not_found &&
        type != fs::file_type::directory) {
      plan.toDelete.push_back(file.path);
    }
  }
  std::error_code ec;
  if (TypeOf(folder, ec) == fs::file_type::directory) {
    for (std::string& path : ListFiles(folder, ec)) {
      if (!written.count(path)) plan.toKeep.push_back(std::move(path));
    }
  }
  return plan;
}

std::vector<std::string> RemovalPlanLines(const TModRemovalPlan& plan, const TLangList& lang) {
  std::vector<std::string> lines{lang.GetLangText("ModRemoveWillDelete")};
  for (const std::string& path : plan.toDelete) lines.push_back("  " + path);
  if (!plan.toKeep.empty()) {
    lines.push_back(lang.GetLangText("ModRemoveWillKeep"));
    for (const std::string& path : plan.toKeep) lines.push_back("  " + path);
  }
  return lines;
}

std::string RemovalRefusedText(const fs::path& titleFolder, const TLangList& lang) {
  const fs::path folder = TitleFolderPath(titleFolder);
  return Text(lang, "ModRemoveNoReceipt", {PathToUtf8(folder), PathToUtf8(ReceiptPath(folder))});
}

TModRemoval RemoveModFolder(const fs::path& titleFolder, const TLangList& lang) {
  TModRemoval removal;
  const fs::path folder = TitleFolderPath(titleFolder);
  const fs::path receipt = ReceiptPath(folder);
  const auto listed = ReadModReceipt(folder);
  if (!listed) {
    removal.refused = true;
    removal.lines.push_back(RemovalRefusedText(folder, lang));
    return removal;
  }
  // Stops at the first thing that cannot be done: a card pulled out fails every later step
  // too, and the receipt kept lets a second removal finish the job.
  const auto fail = [&](const std::string& what, const std::error_code& error) {
    removal.failure = what + ": " + ctr::SystemReason(error);
    removal.lines.push_back(Text(lang, "ModRemoveFailed", {removal.failure}));
    return removal;
  };
  // The folders the run made for its files, up to the title folder: those left empty go too,
  // also where the file itself was lost already.
  std::set<fs::path> folders;
  std::error_code ec;
  for (const TModReceiptFile& file : *listed) {
    // A file reached through a link is not where the run wrote it; the link stays as the
    // player's, and so does anything that is no file.
    const TModFileState parents = ParentsOf(folder, file.path);
    if (parents == TModFileState::Changed || parents == TModFileState::Unreadable) continue;
    const fs::path path = folder / PathFromUtf8(file.path);
    for (fs::path up = path.parent_path(); up != folder && up.native().size() > folder.native().size();
         up = up.parent_path()) {
      folders.insert(up);
    }
    if (parents == TModFileState::Missing) continue;
    const fs::file_type type = TypeOf(path, ec);
    if (ec) return fail(file.path, ec);
    if (type == fs::file_type::not_found || type == fs::file_type::directory) continue;
    if (!fs::remove(path, ec) || ec) return fail(file.path, ec ? ec : std::make_error_code(std::errc::io_error));
    removal.deleted.push_back(file.path);
  }
  // Deepest first: a folder below another has the longer path.
  std::vector<fs::path> emptied(folders.begin(), folders.end());
  std::sort(emptied.begin(), emptied.end(),
            [](const fs::path& a, const fs::path& b) { return a.native().size() > b.native().size(); });
  emptied.push_back(folder);
  for (const fs::path& each : emptied) {
    const bool empty = TypeOf(each, ec) == fs::file_type::directory && !ec && fs::is_empty(each, ec);
    if (ec) return fail(PathToUtf8(each), ec);
    if (empty && (!fs::remove(each, ec) || ec))
      return fail(PathToUtf8(each), ec ? ec : std::make_error_code(std::errc::io_error));
  }
  removal.folderRemoved = TypeOf(folder, ec) == fs::file_type::not_found;
  if (ec) return fail(PathToUtf8(folder), ec);
  if (!removal.folderRemoved) {
    removal.kept = ListFiles(folder, ec);
    if (ec) return fail(PathToUtf8(folder), ec);
  }
  // The card holds the removal only once the folders that named the files are flushed; a
  // player pulls it as soon as the program says it is done. The receipt goes last, so that
  // until then a second removal can finish the job.
  std::vector<fs::path> flushed;
  for (const fs::path& each : emptied) {
    if (TypeOf(each, ec) == fs::file_type::directory) flushed.push_back(each);
  }
  flushed.push_back(folder.parent_path());
  for (const fs::path& each : flushed) {
    if (const std::error_code flush = FlushToDevice(each)) return fail(PathToUtf8(each), flush);
  }
  if (!fs::remove(receipt, ec) && ec) return fail(PathToUtf8(receipt), ec);
  if (const std::error_code flush = FlushToDevice(folder.parent_path())) {
    removal.failure = PathToUtf8(receipt) + ": " + ctr::SystemReason(flush);
    removal.lines.push_back(Text(lang, "ModRemoveReceiptNotFlushed", {removal.failure}));
    return removal;
  }
  const std::string count = std::to_string(removal.deleted.size());
  if (removal.folderRemoved) {
    removal.lines.push_back(Text(lang, "ModRemoveDone", {PathToUtf8(folder), count}));
  } else {
    removal.lines.push_back(Text(lang, "ModRemoveDoneKept", {PathToUtf8(folder), count}));
    for (const std::string& path : removal.kept) removal.lines.push_back("  " + path);
  }
  return removal;
}

}  // namespace qpt
