#include "core/install/Receipt.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "core/common/Common.h"
#include "core/music/TrackLists.h"
#include "core/rom/RomIdentify.h"
#include "ctr/Io.h"
#include "ctr/Sha256.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

std::string Hex(const ctr::Sha256Digest& digest) { return HexText(digest.data(), digest.size(), false); }

const char* KindName(const std::string& kind) {
  if (kind == ".cia") return "CIA";
  if (kind == ".cxi") return "CXI";
  return "3DS";
}

}  // namespace

TReceiptFacts MakeReceiptFacts(int gameIndex, int regionIndex, const std::string& patchTitle, int voiceIndex,
                               const TTrackList* trackList, const TLangList& lang) {
  TReceiptFacts facts;
  for (const TGameRow& row : IdentificationTable()) {
    if (row.gameIndex == gameIndex && row.regionIndex == regionIndex) {
      facts.gameTitle = row.title;
      // The table holds the region as the log line shows it ("ROM Region: USA").
      facts.region = row.region;
      if (const std::size_t colon = facts.region.rfind(": "); colon != std::string::npos) facts.region.erase(0, colon + 2);
      break;
    }
  }
  facts.patchTitle = patchTitle;
  static const char* const kVoiceKeys[] = {"RadioGroup2BTN1", "RadioGroup2BTN2", "RadioGroup2BTN3"};
  if (voiceIndex >= 0 && voiceIndex <= 2) facts.voiceSet = lang.GetLangText(kVoiceKeys[voiceIndex]);
  if (trackList && trackList->MusicChanged) {
    for (int slot = 0; slot < trackList->SlotCount(); ++slot) {
      const std::size_t s = static_cast<std::size_t>(slot);
      if (s < trackList->ImageSelected.size() && trackList->Selected[s] != trackList->ImageSelected[s]) {
        facts.musicChanges.push_back(std::to_string(slot) + ": " + trackList->ImageSelected[s] + " -> " +
                                     trackList->Selected[s]);
      }
    }
  }
  return facts;
}

fs::path ReceiptPath(const fs::path& image) {
  fs::path path = image;
  path += ".txt";
  return path;
}

std::string ReceiptDate() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

std::string FileSha256(const fs::path& path, const std::atomic<bool>* stop) {
  ctr::InputFile in;
  if (!in.Open(path)) return std::string();
  ctr::Sha256 hash;
  std::vector<std::uint8_t> block(4 << 20);
  for (std::uint64_t at = 0; at < in.size();) {
    if (stop && stop->load()) return std::string();
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), in.size() - at));
    if (!in.ReadAt(at, block.data(), n)) return std::string();
    hash.Update(block.data(), n);
    at += n;
  }
  return Hex(hash.Final());
}

std::string ReceiptText(const TReceipt& r, const TLangList& lang) {
  std::string text;
  const auto line = [&text](const std::string& s) { text += s + "\r\n"; };
  const auto field = [&](const char* key, const std::string& value) { line("  " + lang.GetLangText(key) + " " + value); };
  line(std::string(kProgramTitle) + " - " + lang.GetLangText("ReceiptHeading"));
  line(lang.GetLangText("ReceiptDate") + " " + r.date);
  line("");
  line(lang.GetLangText("ReceiptInput"));
  field("ReceiptFile", PathToUtf8(r.input));
  field("ReceiptGame", r.facts.gameTitle + (r.facts.region.empty() ? "" : " (" + r.facts.region + ")"));
  field("ReceiptKind", KindName(r.inputKind));
  field("ReceiptSize", std::to_string(r.inputSize));
  field("ReceiptSha256", r.inputSha256);
  line("");
  line(lang.GetLangText("ReceiptPatch"));
  if (r.patchFolder.empty()) {
    line("  " + lang.GetLangText("ReceiptNoPatch"));
  } else {
    field("ReceiptTitle", r.facts.patchTitle);
    field("ReceiptFolder", PathToUtf8(r.patchFolder));
    for (const TReceiptDigest& d : r.digests) {
      field("ReceiptDigest", d.file + ": " + d.found + " (" +
                                 lang.GetLangText(d.found == d.expected ? "MD5Matched" : "MD5NotMatched") + ")");
    }
  }
  field("ReceiptVoices", r.facts.voiceSet.empty() ? lang.GetLangText("ReceiptUnchanged") : r.facts.voiceSet);
  if (r.facts.musicChanges.empty()) {
    field("ReceiptMusic", lang.GetLangText("ReceiptUnchanged"));
  } else {
    field("ReceiptMusic", "");
    for (const std::string& change : r.facts.musicChanges) line("    " + change);
  }
  line("");
  if (r.files.empty()) {
    line(lang.GetLangText("ReceiptOutput"));
    field("ReceiptFile", PathToUtf8(r.output));
    field("ReceiptKind", KindName(PathToUtf8(r.output.extension())));
    field("ReceiptSize", std::to_string(r.outputSize));
    field("ReceiptSha256", r.outputSha256);
    line("  " + lang.GetLangText("ReceiptHashesGood"));
  } else {
    // A mod folder: every file it holds with the digest it was checked against when read back.
    line(lang.GetLangText("ReceiptModFolder"));
    field("ReceiptFolder", PathToUtf8(r.output));
    for (const auto& [path, sha256] : r.files) line("  " + sha256 + "  " + path);
    line("  " + lang.GetLangText("ReceiptModFilesGood"));
  }
  line("");
  line(lang.GetLangText("ReceiptLog"));
  for (const std::string& entry : r.log) line("  " + entry);
  return text;
}

}  // namespace qpt
