#include "core/install/PackDat.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>

#include "core/common/Common.h"
#include "core/install/InstallCIA.h"
#include "core/install/InstallCXI.h"
#include "support/JobFixture.h"

namespace qpt {
namespace {

namespace fs = std::filesystem;
using test::L;
using test::ReadFile;
using test::WriteFile;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
using ::testing::StartsWith;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

std::uint32_t U32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(s.at(at + i))) << (8 * i);
  return v;
}

void SetU32(std::string& s, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) s.at(at + i) = static_cast<char>(v >> (8 * i));
}

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Pattern bytes with text placed at a position, as signatures sit inside entries.
Bytes Entry(std::size_t size, std::uint32_t seed, std::size_t at = 0, const std::string& text = "") {
  Bytes b = test::PatternBytes(size, seed);
  std::copy(text.begin(), text.end(), b.begin() + static_cast<long>(at));
  return b;
}

// An archive as a game might ship it: entries stored in reverse order with 0x80-byte fill
// between them, so only the index says where each lies; stale header values; opaque fields
// whose bytes all differ.
struct Archive {
  std::string dat, inc;
};
Archive MakeArchive(const std::vector<Bytes>& entries, const std::string& trailing = "") {
  Archive a;
  std::vector<std::uint32_t> offsets(entries.size());
  for (std::size_t k = entries.size(); k-- > 0;) {
    while (a.dat.size() % 0x80 != 0) a.dat += '\xEE';
    offsets[k] = static_cast<std::uint32_t>(a.dat.size());
    a.dat += Str(entries[k]);
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint32_t n = static_cast<std::uint32_t>(i);
    for (std::uint32_t v : {offsets[i], 0xA1B2C3D0u + n, 0x00DEAD00u, static_cast<std::uint32_t>(entries[i].size()),
                            0x10203040u * (n + 1)}) {
      a.inc += std::string(4, '\0');
      SetU32(a.inc, a.inc.size() - 4, v);
    }
  }
  return {a.dat, a.inc + trailing};
}

// The new archive must hold `data` back to back, described by the index, with everything
// else of the original index kept.
void ExpectPacked(const std::string& dat, const std::string& inc, const std::vector<Bytes>& data,
                  const std::string& originalInc) {
  ASSERT_EQ(inc.size(), originalInc.size());
  std::string expected;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::size_t r = i * 20;
    const Bytes& d = data[i];
    const std::uint32_t header = (d.size() > 1 ? d[1] : 0u) | (d.size() > 2 ? d[2] << 8 : 0u) |
                                 (d.size() > 3 ? d[3] << 16 : 0u);
    EXPECT_EQ(U32(inc, r), expected.size()) << "offset of " << i;
    EXPECT_EQ(U32(inc, r + 8), header) << "header value of " << i;
    EXPECT_EQ(U32(inc, r + 12), d.size()) << "size of " << i;
    EXPECT_EQ(inc.substr(r + 4, 4), originalInc.substr(r + 4, 4)) << i;
    EXPECT_EQ(inc.substr(r + 16, 4), originalInc.substr(r + 16, 4)) << i;
    expected += Str(d);
  }
  EXPECT_EQ(inc.substr(data.size() * 20), originalInc.substr(data.size() * 20));
  EXPECT_EQ(dat, expected);
}

// Runs the one step of a job on the calling thread.
class PackStepJob : public TInstallCXI {
 public:
  using TInstallCXI::TInstallCXI;
  using TInstall::UpdatePackDat;
};

// Keeps every progress line, including those a later rewrite hides.
class ProgressHost : public test::RecordingHost {
 public:
  void LogAppend(const std::string& line) override {
    added.push_back(line);
    RecordingHost::LogAppend(line);
  }
  void LogReplaceLast(const std::string& line) override {
    replaced.push_back(line);
    RecordingHost::LogReplaceLast(line);
  }
  std::vector<std::string> added, replaced;
};

class PackStep : public ::testing::Test {
 protected:
  void Install(const Archive& a) {
    WriteFile(romfs / "pack.dat", a.dat);
    WriteFile(romfs / "pack.inc", a.inc);
  }
  void Run() {
    TInstallSettings s;
    s.folders = app.path();
    s.patchDir = patch;
    s.outPath = app / "out.cia";
    s.game = TGame(TGameId::AAT);
    s.lang = &lang;
    PackStepJob job(host, s);
    EXPECT_TRUE(job.UpdatePackDat());  // the step never ends the run
  }
  std::string Dat() const { return ReadFile(romfs / "pack.dat"); }
  std::string Inc() const { return ReadFile(romfs / "pack.inc"); }
  Lines WorkFiles() const {
    Lines names;
    for (const auto& e : fs::directory_iterator(work)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TempDir app{"packapp"};
  fs::path romfs = app / "tools/temp/romfs";
  fs::path work = app / "tools/temp/pack_dat";
  fs::path patch = app / "patch/P";
  TLangList lang = test::BracketLanguage();
  ProgressHost host;
  // One entry per extension rule, an empty one and entries too short for a signature.
  const std::vector<Bytes> entries = {
      Entry(0x23, 1, 0, std::string("\x01\x22\x33\x44\x55" "BCH\0", 9)),  // .bch, header 0x443322
      Entry(13, 2, 5, "FILE"),
      Entry(9, 3, 5, ".ans"),
      Entry(8, 4, 5, "BCH"),                                   // 8 bytes: too short
      Bytes{},                                                 // empty
      Entry(0x201, 5, 0, std::string("BCH\0\0BCH\x01", 9)),   // signature at 0, wrong 4th byte
      Bytes{0x00, 0x11, 0x22},                                 // header 0x002211
  };
  const std::string trailing = "\x01\x02\x03\x04\x05\x06\x07";
};

TEST(PackEntryExtension, ComesFromTheSignatureAtBytesFiveToEight) {
  EXPECT_EQ(GuessPackEntryExtension(Entry(9, 1, 5, std::string("BCH\0", 4))), ".bch");
  EXPECT_EQ(GuessPackEntryExtension(Entry(64, 1, 5, "FILE")), ".file");
  EXPECT_EQ(GuessPackEntryExtension(Entry(9, 1, 5, ".ans")), ".ans");
  EXPECT_EQ(GuessPackEntryExtension(Entry(9, 1, 5, "BCH\x01")), ".bin");
  EXPECT_EQ(GuessPackEntryExtension(Entry(9, 1, 4, "FILE")), ".bin");
  EXPECT_EQ(GuessPackEntryExtension(Entry(8, 1, 5, "BCH")), ".bin");
  EXPECT_EQ(GuessPackEntryExtension(Bytes{}), ".bin");
}

TEST_F(PackStep, UnpacksEveryEntryAndPacksThemBackToBackKeepingTheRestOfTheIndex) {
  Archive a = MakeArchive(entries, trailing);
  SetU32(a.inc, 4 * 20, 0x7FFFFFF0u);  // an empty entry may point anywhere
  Install(a);
  fs::create_directories(patch / "pack_dat");
  Run();
  EXPECT_EQ(host.Lines(), (Lines{L("UnpackingPackDat"), "6/6", L("Done"), L("UpdatingPackDat"), L("Done"),
                                 L("RepackingPackDat"), "6/6", L("Done")}));
  EXPECT_EQ(WorkFiles(), (Lines{"00000.bch", "00001.file", "00002.ans", "00003.bin", "00004.bin", "00005.bin",
                                "00006.bin"}));
  EXPECT_EQ(ReadFile(work / "00005.bin"), Str(entries[5]));
  EXPECT_EQ(ReadFile(work / "00004.bin"), "");
  const std::string inc = Inc();
  ExpectPacked(Dat(), inc, entries, a.inc);
  EXPECT_EQ(U32(inc, 8), 0x443322u);
  EXPECT_EQ(U32(inc, 6 * 20 + 8), 0x002211u);
}

TEST_F(PackStep, AReplacedEntryMovesEveryLaterOne) {
  const Archive a = MakeArchive(entries, trailing);
  Install(a);
  const Bytes replacement = Entry(0x301, 9, 1, "\xAB\xCD\xEF");
  WriteFile(patch / "pack_dat/00001.file", replacement);
  Run();
  std::vector<Bytes> expected = entries;
  expected[1] = replacement;
  ExpectPacked(Dat(), Inc(), expected, a.inc);
}

TEST_F(PackStep, APatchFileWithANewNameShiftsEveryLaterEntryByOnePosition) {
  const Archive a = MakeArchive(entries);
  Install(a);
  const Bytes extra = Entry(0x45, 10);
  WriteFile(patch / "pack_dat/00001.bin", extra);  // sorts before the work file 00001.file
  Run();
  const std::vector<Bytes> expected = {entries[0], extra, entries[1], entries[2], entries[3], entries[4], entries[5]};
  ExpectPacked(Dat(), Inc(), expected, a.inc);
}

TEST_F(PackStep, TheProgressLineIsRewrittenEveryFiftyEntries) {
  std::vector<Bytes> many;
  for (std::uint32_t i = 0; i < 120; ++i) many.push_back(Entry(i % 3, i));
  Install(MakeArchive(many));
  fs::create_directories(patch / "pack_dat");
  Run();
  const Lines pass = {"0/119", "50/119", "100/119", "119/119"};
  Lines both = pass;
  both.insert(both.end(), pass.begin(), pass.end());
  EXPECT_EQ(host.replaced, both);
  EXPECT_EQ(std::count(host.added.begin(), host.added.end(), "0/119"), 2);
}

TEST_F(PackStep, AnIndexShorterThanOneRecordHasNoEntriesAndGivesAnEmptyArchive) {
  Install({"leftover data", "0123456789abc"});
  fs::create_directories(patch / "pack_dat");
  Run();
  EXPECT_EQ(std::count(host.added.begin(), host.added.end(), "0/-1"), 2);
  EXPECT_EQ(host.replaced, (Lines{"-1/-1", "-1/-1"}));
  EXPECT_THAT(host.Lines(), Contains("-1/-1"));
  EXPECT_EQ(Dat(), "");
  EXPECT_EQ(Inc(), "0123456789abc");
}

TEST_F(PackStep, AMissingArchiveOrIndexIsReportedAndNothingChanges) {
  Run();
  EXPECT_EQ(host.Lines(), Lines{L("ErrorLoadPackDat")});
  EXPECT_FALSE(fs::exists(work));

  host.Reset();
  WriteFile(romfs / "pack.dat", "data");
  Run();
  EXPECT_EQ(host.Lines(), (Lines{L("UnpackingPackDat"), L("ErrorLoadPackInc")}));
  EXPECT_EQ(Dat(), "data");
}

TEST_F(PackStep, RecordsOutsideTheArchiveOrOverlappingAreRefusedBeforeUnpackingAndTheArchiveIsKept) {
  Archive a = MakeArchive(entries);
  SetU32(a.inc, 2 * 20, static_cast<std::uint32_t>(a.dat.size() - 4));  // 9 bytes, 4 left
  Install(a);
  Run();
  EXPECT_EQ(host.Lines(), (Lines{L("UnpackingPackDat"), L("ErrorExtractingPackDat")}));
  EXPECT_EQ(WorkFiles(), Lines{});
  EXPECT_EQ(Dat(), a.dat);
  EXPECT_EQ(Inc(), a.inc);

  host.Reset();
  a = MakeArchive(entries);
  SetU32(a.inc, 1 * 20 + 12, 0xFFFFFFF0u);
  Install(a);
  Run();
  EXPECT_EQ(host.Lines().back(), L("ErrorExtractingPackDat"));
  EXPECT_EQ(Inc(), a.inc);

  // Entry 6 (3 bytes) made to start one byte before the end of entry 5.
  host.Reset();
  a = MakeArchive(entries);
  SetU32(a.inc, 6 * 20, U32(a.inc, 5 * 20) + static_cast<std::uint32_t>(entries[5].size()) - 1);
  Install(a);
  Run();
  EXPECT_EQ(host.Lines(), (Lines{L("UnpackingPackDat"), L("ErrorExtractingPackDat")}));
  EXPECT_EQ(WorkFiles(), Lines{});
  EXPECT_EQ(Dat(), a.dat);
  EXPECT_EQ(Inc(), a.inc);
}

TEST_F(PackStep, APatchFolderThatCannotBeCopiedLeavesTheArchiveAndRemovesTheWorkFolder) {
  const Archive a = MakeArchive(entries);
  Install(a);
  fs::create_directories(patch / "pack_dat/00001.file");  // a folder cannot replace the work file
  Run();
  const Lines lines = host.Lines();
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{L("UpdatingPackDat"), L("WarningCopyingPackDatFolder")}));
  EXPECT_FALSE(fs::exists(work));
  EXPECT_EQ(Dat(), a.dat);
}

TEST_F(PackStep, ANewArchiveThatCannotBeWrittenLeavesTheOldOne) {
  const Archive a = MakeArchive(entries);
  Install(a);
  fs::create_directories(patch / "pack_dat");
  fs::create_directories(romfs / ("pack.dat" + std::string(ctr::kTemporaryOutputSuffix)));  // where the new archive is built
  Run();
  const Lines lines = host.Lines();
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()), (Lines{L("RepackingPackDat"), "0/6", L("ErrorRepackingPackDat")}));
  EXPECT_EQ(Dat(), a.dat);
  EXPECT_EQ(Inc(), a.inc);
}

TEST(PackRepack, FewerFilesThanRecordsIsAnErrorThatLeavesTheArchiveUntouched) {
  test::TempDir dir("pack");
  const Archive a = MakeArchive({Entry(5, 1), Entry(6, 2), Entry(7, 3)});
  WriteFile(dir / "pack.dat", a.dat);
  WriteFile(dir / "pack.inc", a.inc);
  WriteFile(dir / "work/00000.bin", "one");
  WriteFile(dir / "work/00001.bin", "two");
  const Bytes index(a.inc.begin(), a.inc.end());
  Lines progress;
  const TPackProgress record{[&](const std::string& l) { progress.push_back(l); },
                             [&](const std::string& l) { progress.push_back(l); }};
  const ctr::Status status = RepackPackEntries(dir / "work", dir / "pack.dat", dir / "pack.inc", index, record);
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.message().find("2 entry files for 3 index records"), std::string::npos) << status.message();
  EXPECT_TRUE(progress.empty());
  EXPECT_EQ(ReadFile(dir / "pack.dat"), a.dat);
  EXPECT_EQ(ReadFile(dir / "pack.inc"), a.inc);
  EXPECT_FALSE(fs::exists(dir / ("pack.dat" + std::string(ctr::kTemporaryOutputSuffix))));
}

TEST(PackRepack, TheListingIsSortedByNameAndSkipsFoldersAndHiddenFiles) {
  test::TempDir dir("list");
  Lines expected;
  for (int i = 39; i >= 0; --i) {
    const std::string name = PackEntryFileName(i, i % 2 ? ".bin" : ".bch");
    WriteFile(dir / name, "x");
    expected.insert(expected.begin(), name);
  }
  WriteFile(dir / ".DS_Store", "finder");
  fs::create_directories(dir / "00003.bch.d");
  const auto listed = ListPackEntryFiles(dir.path());
  ASSERT_TRUE(listed.ok()) << listed.message();
  Lines names;
  for (const fs::path& p : listed.value()) names.push_back(p.filename().string());
  EXPECT_EQ(names, expected);
}

class PackJob : public ::testing::Test, protected test::JobFixture {};

// The pack step run on a thread of its own, as steps that write on several threads do.
class TPackOnAnotherThread : public TInstallCIA {
 public:
  using TInstallCIA::TInstallCIA;

 protected:
  bool UpdatePackDat() override {
    return std::async(std::launch::async, [this] { return TInstallCIA::UpdatePackDat(); }).get();
  }
};

TEST_F(PackJob, RunsAfterTheRomFsCopyForAATAndAA4Only) {
  const std::vector<Bytes> data = {Entry(0x11, 1, 5, "FILE"), Entry(0x22, 2)};
  const Archive a = MakeArchive(data);
  WriteFile(patchDir / "romfs/pack.dat", a.dat);
  WriteFile(patchDir / "romfs/pack.inc", a.inc);
  WriteFile(patchDir / "pack_dat/00001.bin", "new entry");
  RunJob("out.cia", "AA4");
  const Lines lines = host.Lines();
  const auto at = std::find(lines.begin(), lines.end(), L("UnpackingPackDat"));
  ASSERT_GE(std::distance(at, lines.end()), 9);
  EXPECT_EQ(Lines(at, at + 9), (Lines{L("UnpackingPackDat"), "1/1", L("Done"), L("UpdatingPackDat"), L("Done"),
                                      L("RepackingPackDat"), "1/1", L("Done"), L("RebuildingExeFS")}));
  EXPECT_LT(std::find(lines.begin(), lines.end(), L("ReplacingRomFS")), at);
  EXPECT_EQ(ReadFile(Packed("pack.dat")), Str(data[0]) + "new entry");

  host.Reset();
  RunJob("out.cia", "AA5");
  EXPECT_THAT(host.Lines(), Not(Contains(L("UnpackingPackDat"))));
  EXPECT_EQ(ReadFile(Packed("pack.dat")), a.dat);

  // A write that fails (a full disk) is not a warning to build past: the image would lack the
  // patch's entries. The player reads which write failed and the system's reason. Made on
  // another thread than the job's, it ends the run all the same.
  WriteFile(patchDir / "romfs/pack.dat.qpt-partial/blocker", "where the new archive is built");
  const std::string reason = "<ErrorWritingWorkFiles:create(" + PathToUtf8((app / "tools/temp/romfs/pack.dat").make_preferred()) + "): ";
  for (const bool onAnotherThread : {false, true}) {
    SCOPED_TRACE(onAnotherThread ? "on another thread" : "on the job's thread");
    host.Reset();
    std::unique_ptr<TInstall> job = onAnotherThread ? std::make_unique<TPackOnAnotherThread>(host, Settings("out.cia", "AA4"))
                                                    : Create("out.cia", "AA4");
    job->Execute();
    const Lines failed = host.Lines();
    ASSERT_GE(failed.size(), 3u);
    EXPECT_EQ(Lines(failed.end() - 3, failed.end() - 1), (Lines{L("ErrorRepackingPackDat"), ""}));
    // The system's reason follows the operation and the path.
    EXPECT_THAT(failed.back(), StartsWith(reason));
    EXPECT_GT(failed.back().size(), reason.size() + 1);
    EXPECT_FALSE(job->Succeeded());
  }
}

}  // namespace
}  // namespace qpt
