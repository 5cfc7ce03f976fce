// Writes the starting corpus of every harness into CORPUS/<harness>/: the golden vectors of
// tests/data, images and archives made by the test fixture builders, the program's language
// files and built-in track lists. Files already there are kept, so a corpus grows from one
// run to the next.
//
// usage: fuzz_seeds CORPUS
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/common/Common.h"
#include "core/patches/PatchArchive.h"
#include "ctr/Crc32.h"
#include "support/ImageBuilder.h"
#include "support/ImageFiles.h"
#include "support/RawImages.h"
#include "support/SoundFixtures.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using qpt::test::Bytes;

namespace {

fs::path gCorpus;

void Seed(const std::string& harness, const std::string& name, const Bytes& bytes) {
  const fs::path folder = gCorpus / harness;
  fs::create_directories(folder);
  qpt::test::WriteBytes(folder / ("seed-" + name), bytes);
}

Bytes FromString(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// Every file of a folder of the source tree with the given extension.
void SeedFiles(const std::string& harness, const fs::path& folder, const std::string& extension) {
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() == extension) {
      Seed(harness, entry.path().filename().string(), qpt::test::ReadBytes(entry.path()));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS\n", argv[0]);
    return 2;
  }
  gCorpus = argv[1];
  const fs::path work = gCorpus / ".work";
  try {
    // Golden vectors.
    const Bytes cia = qpt::test::ReadBytes(qpt::test::VectorPath("cia/out.cia"));
    const Bytes cxi = qpt::test::ReadBytes(qpt::test::VectorPath("cxi/out.cxi"));
    const Bytes card = qpt::test::ReadBytes(qpt::test::VectorPath("ncsd/out.3ds"));
    for (const char* harness : {"identify", "verify"}) {
      Seed(harness, "out.cia", cia);
      Seed(harness, "out.cxi", cxi);
      Seed(harness, "out.3ds", card);
    }
    Seed("cia", "out.cia", cia);
    Seed("ncch", "out.cxi", cxi);
    Seed("ncsd", "out.3ds", card);
    const Bytes exefs = qpt::test::ReadBytes(qpt::test::VectorPath("exefs/exefs.bin"));
    Seed("exefs", "exefs.bin", exefs);
    Seed("exefs", "exefs-plain.bin", qpt::test::ReadBytes(qpt::test::VectorPath("exefs/exefs-plain.bin")));
    Seed("exefs", "code-stored.bin", qpt::test::Slice(exefs, 0x200, qpt::test::GetLE32(exefs, 0x0C)));
    Seed("romfs", "romfs.bin", qpt::test::ReadBytes(qpt::test::VectorPath("romfs/romfs.bin")));

    // Images of the fixture builders: a whole title of each kind, and the minimal images that
    // identification reads, for both music games.
    qpt::test::ImageBuilder builder(work);
    const qpt::test::ImageRecipe recipe;
    builder.BuildCia(recipe, work / "title.cia");
    builder.BuildCxi(recipe, work / "title.cxi");
    builder.Build3ds(recipe, work / "title.3ds");
    for (const char* kind : {"cia", "cxi", "3ds"}) {
      const Bytes image = qpt::test::ReadBytes(work / (std::string("title.") + kind));
      Seed("verify", std::string("title.") + kind, image);
      Seed(kind == std::string("cia") ? "cia" : kind == std::string("cxi") ? "ncch" : "ncsd",
           std::string("title.") + kind, image);
    }
    for (const char* kind : {".cia", ".3ds", ".cxi"}) {
      for (const char* game : {"AAT", "AA4"}) {
        qpt::test::RawImageOptions o;
        o.kind = kind;
        o.programId = game == std::string("AAT") ? 0x0004000000138F00ull : 0x00040000001BD200ull;
        o.entry = game == std::string("AAT") ? 104 : 4492;
        Seed("identify", std::string("raw-") + game + kind, FromString(qpt::test::MakeRawImage(o).Bytes()));
      }
    }

    // Sound and wave archives.
    for (const char* game : {"AAT", "AA4"}) {
      Seed("sound", std::string("game-") + game + ".bcsar", qpt::test::BuildGameSoundArchive(game, 4).archive.bytes);
    }
    Seed("sound", "minimal.bcsar", qpt::test::MinimalSoundArchive());
    Seed("sound", "waves.bcwar", qpt::test::BuildWaveArchive(qpt::test::OddLengthWaves(3), 0x10));

    // A pack archive of four entries (one of them empty), laid out as the pack harness reads it.
    {
      const std::vector<Bytes> entries = {qpt::test::PatternBytes(0x23, 1), qpt::test::PatternBytes(13, 2), Bytes{},
                                          qpt::test::PatternBytes(0x41, 3)};
      Bytes inc, dat;
      for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::uint32_t record[5] = {static_cast<std::uint32_t>(dat.size()), 0xA1B2C3D0u, 0,
                                         static_cast<std::uint32_t>(entries[i].size()), 0x10203040u};
        const auto* raw = reinterpret_cast<const std::uint8_t*>(record);
        inc.insert(inc.end(), raw, raw + sizeof(record));
        dat.insert(dat.end(), entries[i].begin(), entries[i].end());
      }
      Bytes input{static_cast<std::uint8_t>(inc.size()), static_cast<std::uint8_t>(inc.size() >> 8)};
      input.insert(input.end(), inc.begin(), inc.end());
      input.insert(input.end(), dat.begin(), dat.end());
      Seed("pack", "four-entries", input);
    }

    // Patches of a program, laid out as the ips and bps harnesses read them: the program's
    // length, (for bps a flags byte,) the program, the patch.
    {
      const Bytes program = FromString("ABCDEFGH");
      // A record, a run, a record past the end, and the length after EOF.
      const Bytes ips = Concat({FromString("PATCH"), {0, 0, 2, 0, 3, 'x', 'y', 'z'}, {0, 0, 1, 0, 0, 0, 4, '*'},
                                {0, 0, 0x0A, 0, 2, 'y', 'z'}, FromString("EOF"), {0, 0, 9}});
      Seed("ips", "records", Concat({{8, 0}, program, ips}));
      // Metadata "m", then SourceRead 4, TargetRead "xy", SourceCopy 2 from 4, and TargetCopy 5
      // from 4, a run over what it writes: "ABCDxyEFxyEFx".
      Bytes bps = Concat({FromString("BPS1"), {0x88, 0x8D, 0x81, 'm', 0x8C, 0x85, 'x', 'y', 0x86, 0x88, 0x93, 0x88}});
      const auto put = [&bps](std::uint32_t crc) {
        for (int i = 0; i < 4; ++i) bps.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
      };
      put(ctr::Crc32(program));
      put(ctr::Crc32(FromString("ABCDxyEFxyEFx")));
      put(ctr::Crc32(bps));
      Seed("bps", "actions", Concat({{8, 0, 0}, program, bps}));
    }

    // Patch archives: a zip as the authors' kit packs one, with a folder, a Cyrillic name and
    // an empty file.
    {
      const fs::path folder = work / "archive";
      fs::create_directories(folder / "00040000001BD200" / "romfs");
      qpt::test::WriteFile(folder / "00040000001BD200" / "romfs" / qpt::PathFromUtf8("Сцена.txt"), "scene");
      qpt::test::WriteFile(folder / "readme.txt", "");
      if (!qpt::PackFolderAsZip(folder, work / "seed.zip")) Seed("archive", "mod-folder.zip", qpt::test::ReadBytes(work / "seed.zip"));
    }

    // Text: the language files, a descriptor, the built-in track lists.
    const fs::path source = QPT_SOURCE_DIR;
    SeedFiles("text", source / "lang", ".lng");
    Seed("text", "English.dsc",
         FromString("Game=AAT Region=USA,EUR Title=\"My Patch\" Description=\"A patch, \"\"quoted\"\".\"\r\n"
                    "OriginalPackDatMD5=00112233445566778899AABBCCDDEEFF OriginalPackIncMD5=\"\"\r\n"));
    SeedFiles("tracklist", source / "resources", ".tls");
    SeedFiles("text", source / "resources", ".tls");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "fuzz_seeds: %s\n", error.what());
    fs::remove_all(work);
    return 1;
  }
  fs::remove_all(work);
  return 0;
}
