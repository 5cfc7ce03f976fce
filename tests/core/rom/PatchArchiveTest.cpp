#include "core/patches/PatchArchive.h"

#include <archive.h>
#include <archive_entry.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "core/common/Common.h"
#include "support/TempDir.h"

namespace qpt {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::WriteFile;

struct TArchiveItem {
  TArchiveItem(std::string itemName, std::string itemData, std::string linkTo = {})
      : name(std::move(itemName)), data(std::move(itemData)), link(std::move(linkTo)) {}
  std::string name;  // UTF-8
  std::string data;
  std::string link;  // a symbolic link to this, when set
};

// Archives made with the library itself, in the forms players meet: names in UTF-8 or in an
// old code page (hdrcharset), a password, a 7z.
void WriteArchive(const fs::path& path, const std::vector<TArchiveItem>& items, bool sevenZip = false,
                  const char* options = nullptr, const char* password = nullptr) {
  TUtf8ThreadLocale utf8;
  struct archive* a = archive_write_new();
  if (sevenZip) {
    archive_write_set_format_7zip(a);
  } else {
    archive_write_set_format_zip(a);
  }
  if (options) {
    ASSERT_EQ(archive_write_set_options(a, options), ARCHIVE_OK) << archive_error_string(a);
  }
  if (password) archive_write_set_passphrase(a, password);
  ASSERT_EQ(archive_write_open_filename(a, PathToUtf8(path).c_str()), ARCHIVE_OK);
  for (const TArchiveItem& item : items) {
    struct archive_entry* e = archive_entry_new();
    // Windows' C library takes no name beyond its "C" locale but in wide form.
#ifdef _WIN32
    archive_entry_copy_pathname_w(e, PathFromUtf8(item.name).c_str());
#else
    archive_entry_update_pathname_utf8(e, item.name.c_str());
#endif
    if (!item.link.empty()) {
      archive_entry_set_filetype(e, AE_IFLNK);
      archive_entry_update_symlink_utf8(e, item.link.c_str());
    } else {
      archive_entry_set_filetype(e, AE_IFREG);
      archive_entry_set_size(e, static_cast<la_int64_t>(item.data.size()));
    }
    archive_entry_set_perm(e, 0644);
    EXPECT_EQ(archive_write_header(a, e), ARCHIVE_OK) << item.name << ": " << archive_error_string(a);
    if (item.link.empty()) archive_write_data(a, item.data.data(), item.data.size());
    archive_entry_free(e);
  }
  archive_write_close(a);
  archive_write_free(a);
}

// Every file below folder by its path in UTF-8, with its content.
std::map<std::string, std::string> Tree(const fs::path& folder) {
  std::map<std::string, std::string> tree;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    if (!item.is_regular_file()) continue;
    std::string bytes;
    ReadSmallFile(item.path(), bytes);
    tree[GenericUtf8(item.path().lexically_relative(folder))] = bytes;
  }
  return tree;
}

bool Empty(const fs::path& folder) { return fs::is_empty(folder); }

TEST(PatchArchive, NamesComeOutRightInUtf8TheOldDosCodePageAndARussianWindowsOne) {
  const TempDir dir;
  const std::map<std::string, std::string> russian{{"Перевод/romfs/Сцена.txt", "a"}, {"Перевод/Прочти меня.txt", "b"}};
  const std::map<std::string, std::string> western{{"Traducción/Café/Straße.txt", "c"}, {"Traducción/déjà vu.bin", "d"}};
  struct {
    const char* file;
    bool sevenZip;
    const char* options;
    const std::map<std::string, std::string>& tree;
  } const cases[] = {
      {"utf8.zip", false, "hdrcharset=UTF-8", russian},
      {"cp866.zip", false, "hdrcharset=CP866", russian},
      {"cp437.zip", false, "hdrcharset=CP437", western},
      {"names.7z", true, nullptr, russian},
  };
  for (const auto& c : cases) {
    std::vector<TArchiveItem> items;
    for (const auto& [name, data] : c.tree) items.push_back({name, data});
    WriteArchive(dir.path() / c.file, items, c.sevenZip, c.options);
    const fs::path out = dir.path() / (std::string(c.file) + ".out");
    const auto refusal = UnpackArchive(dir.path() / c.file, out);
    ASSERT_FALSE(refusal) << c.file << ": " << refusal->key << " " << refusal->detail;
    EXPECT_EQ(Tree(out), c.tree) << c.file;
  }
}

TEST(PatchArchive, AnEntryOrLinkLeavingTheFolderRefusesTheWholeArchiveBeforeAnythingIsWritten) {
  const TempDir dir;
  struct {
    TArchiveItem hostile;
    const char* key;
  } const cases[] = {
      {{"../escaped.txt", "x"}, "ErrorArchiveUnsafePath"},
      {{"patch/../../escaped.txt", "x"}, "ErrorArchiveUnsafePath"},
      {{"patch\\..\\..\\escaped.txt", "x"}, "ErrorArchiveUnsafePath"},
      {{"/tmp/escaped.txt", "x"}, "ErrorArchiveUnsafePath"},
      {{"C:/escaped.txt", "x"}, "ErrorArchiveUnsafePath"},
      {{"patch/.. /escaped.txt", "x"}, "ErrorArchiveUnsafePath"},
      {{"patch/Aux.txt", "x"}, "ErrorArchiveUnsafePath"},
      {{"patch/out", "", "../../escaped.txt"}, "ErrorArchiveLinkOut"},
      {{"patch/out", "", "/etc/passwd"}, "ErrorArchiveLinkOut"},
  };
  int n = 0;
  for (const auto& c : cases) {
    const fs::path zip = dir.path() / ("hostile" + std::to_string(n++) + ".zip");
    // The harmless entry comes first: it must not be written either.
    WriteArchive(zip, {{"patch/English.dsc", "Title = x"}, c.hostile});
    const fs::path out = dir.path() / "sub" / "out";
    fs::create_directories(out.parent_path());
    const auto refusal = UnpackArchive(zip, out);
    ASSERT_TRUE(refusal) << c.hostile.name;
    EXPECT_EQ(refusal->key, c.key) << c.hostile.name;
    EXPECT_FALSE(fs::exists(out)) << c.hostile.name;
    EXPECT_TRUE(Empty(dir.path() / "sub")) << c.hostile.name;
  }
  // A link that stays inside is only skipped, and said so.
  WriteArchive(dir.path() / "inside.zip", {{"patch/a.txt", "a"}, {"patch/b.txt", "", "a.txt"}});
  std::vector<std::string> links;
  TUnpackOptions options;
  options.skippedLinks = &links;
  ASSERT_FALSE(UnpackArchive(dir.path() / "inside.zip", dir.path() / "inside", options));
  EXPECT_THAT(links, testing::ElementsAre("patch/b.txt"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "inside/patch/b.txt")));
}

TEST(PatchArchive, ABombADamagedOrAPasswordProtectedArchiveSaysSoAndLeavesNothing) {
  const TempDir dir;
  // 4 MiB of zeros packs into a few KiB: far beyond 200 times the archive's size.
  WriteArchive(dir.path() / "bomb.zip", {{"zeros.bin", std::string(4 << 20, '\0')}});
  WriteArchive(dir.path() / "locked.zip", {{"a.txt", "secret"}}, false, "encryption=zipcrypt", "password");
  WriteArchive(dir.path() / "stored.zip", {{"a.txt", std::string(4096, 'a')}}, false, "compression=store");
  std::string bytes;
  ReadSmallFile(dir.path() / "stored.zip", bytes);
  bytes[bytes.find("aaaa") + 100] = 'b';  // the CRC no longer matches
  WriteFile(dir.path() / "crc.zip", bytes);
  WriteFile(dir.path() / "cut.zip", bytes.substr(0, bytes.size() / 2));
  WriteFile(dir.path() / "text.zip", "not an archive at all");
  struct {
    const char* file;
    const char* key;
  } const cases[] = {
      {"bomb.zip", "ErrorArchiveTooLarge"}, {"locked.zip", "ErrorArchiveEncrypted"}, {"crc.zip", "ErrorArchiveDamaged"},
      {"cut.zip", "ErrorArchiveDamaged"},   {"text.zip", "ErrorArchiveDamaged"},
  };
  for (const auto& c : cases) {
    const fs::path out = dir.path() / (std::string(c.file) + ".out");
    const auto refusal = UnpackArchive(dir.path() / c.file, out);
    ASSERT_TRUE(refusal) << c.file;
    EXPECT_EQ(refusal->key, c.key) << c.file << ": " << refusal->detail;
    EXPECT_FALSE(fs::exists(out)) << c.file;
  }
  // The bound counts what is written too, not only what the headers declare: here both headers
  // say 16 bytes of a file that inflates to 4 MiB.
  WriteArchive(dir.path() / "liar.zip", {{"zeros.bin", std::string(4 << 20, '\0')}});
  ReadSmallFile(dir.path() / "liar.zip", bytes);
  const std::size_t central = bytes.find("PK\x01\x02");
  ASSERT_NE(central, std::string::npos);
  bytes.replace(central + 24, 4, std::string("\x10\0\0\0", 4));
  bytes.replace(22, 4, std::string("\x10\0\0\0", 4));
  WriteFile(dir.path() / "liar.zip", bytes);
  EXPECT_EQ(UnpackArchive(dir.path() / "liar.zip", dir.path() / "liar")->key, "ErrorArchiveTooLarge");
  EXPECT_FALSE(fs::exists(dir.path() / "liar"));
}

TEST(PatchArchive, AnImportTakesThePatchOutOfItsWrapperAndReplacesOnlyWhenAsked) {
  const TempDir dir;
  const fs::path root = dir.path() / "patch";
  fs::create_directories(root);
  WriteArchive(dir.path() / "Wrapped.zip", {{"My Patch/English.dsc", "Title = \"One\""}, {"My Patch/romfs/a.txt", "1"},
                                          {"__MACOSX/My Patch/._English.dsc", "x"}});
  auto first = ImportPatchArchive(dir.path() / "Wrapped.zip", root, false);
  ASSERT_FALSE(first.refusal) << first.refusal->key;
  EXPECT_EQ(first.imported.folder, root / "Wrapped");
  EXPECT_EQ(Tree(root / "Wrapped"), (std::map<std::string, std::string>{{"English.dsc", "Title = \"One\""}, {"romfs/a.txt", "1"}}));

  WriteArchive(dir.path() / "Wrapped.zip", {{"00040000001BD200/romfs/b.txt", "2"}});
  EXPECT_EQ(ImportPatchArchive(dir.path() / "Wrapped.zip", root, false).refusal->key, "ErrorArchiveTargetExists");
  EXPECT_TRUE(fs::exists(root / "Wrapped/English.dsc"));
  ASSERT_FALSE(ImportPatchArchive(dir.path() / "Wrapped.zip", root, true).refusal);
  EXPECT_EQ(Tree(root / "Wrapped"), (std::map<std::string, std::string>{{"00040000001BD200/romfs/b.txt", "2"}}));

  WriteArchive(dir.path() / "Wrapped.zip", {{"notes/readme.txt", "no patch here"}});
  EXPECT_EQ(ImportPatchArchive(dir.path() / "Wrapped.zip", root, true).refusal->key, "ErrorArchiveNoPatch");
  // The refused archive left neither its scratch folder nor a change to the patch it would replace.
  EXPECT_EQ(Tree(root), (std::map<std::string, std::string>{{"Wrapped/00040000001BD200/romfs/b.txt", "2"}}));
  EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 1);
}

TEST(PatchArchive, AFolderPackedAsZipUnpacksToTheSameTree) {
  const TempDir dir;
  const std::map<std::string, std::string> tree{
      {"00040000001BD200/romfs/Сцена.bin", std::string(100000, 'x') + "end"}, {"readme.txt", "Перевод"}, {"empty.bin", ""}};
  for (const auto& [name, data] : tree) {
    const fs::path path = dir.path() / "src" / PathFromUtf8(name);
    fs::create_directories(path.parent_path());
    WriteFile(path, data);
  }
  ASSERT_FALSE(PackFolderAsZip(dir.path() / "src", dir.path() / "out.zip"));
  ASSERT_FALSE(UnpackArchive(dir.path() / "out.zip", dir.path() / "back"));
  EXPECT_EQ(Tree(dir.path() / "back"), tree);
}

}  // namespace
}  // namespace qpt
