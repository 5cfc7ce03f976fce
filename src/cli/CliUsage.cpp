// The text of quill-patch-cli --help: every command, option and exit code.
#include "cli/Cli.h"

namespace qpt::cli {

std::string UsageText() {
  return R"(Usage: quill-patch-cli COMMAND IMAGE [OPTIONS]

Puts a fan translation patch into a decrypted 3DS image of an Ace Attorney game, as the
Quill Patch Tool window does, from a command line and without a display. Languages,
patches and tools come from the folder this program is in (lang/, patch/, tools/).

Commands:
  identify IMAGE [--lang NAME]
      Identifies a CIA, CXI or 3DS image: the title and region lines of the window's log,
      then the game code, the region, the kind and the title ID, each on a line of its own.
      Another game's image is taken when patch/ holds a mod folder for its title ID (the
      log lines then give the title ID); without one, its title ID is printed and it is
      refused.
  patches IMAGE [--lang NAME]
      Lists the patches in patch/ that fit the image, in the window's order: the title, a
      tab, the patch folder. --lang chooses between descriptors written per language.
  music IMAGE [--patch FOLDER] [--lang NAME] [--write SLOT=TITLE ...]
      Trilogy and Apollo Justice: every music slot as its number, scene, column and current
      title (tab-separated), then the titles that --music accepts. With --write, writes the
      choice straight into IMAGE instead, as the music dialog's Save does with "write into the
      old ROM" checked: every slot is written, the slots not named with the track they play
      now; the image's hashes are brought up to date and the image is checked afterwards. If
      anything fails, the image is left as it was. A title whose name does not fit the
      image's field is skipped with a warning. Keep a backup of IMAGE.
  install IMAGE --out PATH [--replace] [--patch FOLDER] [--lang NAME] [--voice VOICES]
          [--music SLOT=TITLE ...] [--music-file FILE] [--no-receipt]
      Builds the patched image at PATH; its extension chooses the kind: .cia for a console,
      .cxi for an emulator, and, from a 3DS image only, .3ds for a flash cartridge. The log
      shows as the run goes; Ctrl+C stops the run at its next step. An existing file under
      the name to be written is asked about on a terminal, and refused without one unless
      --replace is given.
  install IMAGE --mods DIR|sd|emulator [--replace] [--patch FOLDER] [...as above]
      Writes no image: DIR/<TitleID>/ receives only the files the patch changes or adds
      (romfs/... and code.bin), as a console with game patching enabled (DIR being the SD
      card's luma/titles) or an emulator (its load/mods folder) loads them. The image is
      only read. An existing DIR/<TitleID> is refused unless --replace is given. DIR is made
      when only its last folder is missing. "sd" and "emulator" take the only place of that
      kind that `places` lists, making its luma/titles or load/mods; with none, or more than
      one, the run stops and DIR must be given. A folder named sd or emulator in the current
      folder is given as ./sd or ./emulator.
  verify IMAGE [--lang NAME]
      Checks every hash of a CIA, CXI or 3DS image and reports each region as good or BAD.
  verify DIR/<TitleID> [--lang NAME]
      Checks a mod folder that install --mods wrote: every file its receipt DIR/<TitleID>.txt
      lists is read back from the disk or card and named when it is missing or changed.
      Files in the folder that the receipt does not list are named as not written by the
      run; they are a warning only (exit 0). A folder without that receipt cannot be checked.
  remove-mods DIR/<TitleID> [--lang NAME]
      Removes a mod folder that install --mods wrote: prints the files it will delete (those
      its receipt lists) and those it keeps (any other file in the folder), deletes them,
      the folders left empty and the receipt, and prints the result. The folder stays when
      it holds files not written by the run. A folder without that receipt is refused.
  make-patch IMAGE --from DIR --out PATCHDIR --title TEXT [--lang NAME]
          [--description-file FILE] [--mods] [--zip]
      For patch authors: compares DIR, the translated RomFS tree (whole or only the changed
      files, with the program's files in DIR/exefs/), with IMAGE and writes the patch folder
      PATCHDIR that installs exactly that tree: patch.xdelta for a changed pack.dat, romfs/
      and exefs/ with only the files that differ or are new, and the descriptor NAME.dsc
      (default English.dsc) with the game, region and digests of IMAGE. With --mods, a mod
      folder instead, which consoles with game patching and emulators load as well:
      PATCHDIR/<TitleID>/romfs/ with the changed or new files (pack.dat whole), code.bps for
      a changed program, exheader.bin when the program outgrows IMAGE's extended header, and
      PATCHDIR/readme.txt with the title and description. With --zip, the finished folder
      is also packed into PATCHDIR.zip for publishing (never over an existing file). Prints
      what went where and the patch's size against the image's.
  check-patch PATCHDIR|ARCHIVE [IMAGE]
      For patch authors: checks a patch folder, or the one in a .zip, .7z or .rar file
      (unpacked into a scratch folder that is removed again): the descriptors (encoding,
      keys, game and region codes, digests), the track lists, the voice folders and the
      pack entries; with IMAGE also the digests and the pack entries' numbers against it, and then the
      patch is installed on trial as a mod folder (once per voice set) in a scratch folder
      that is removed again: each warning and the failure of that run is a problem too.
      One line per problem: the file and what to change. Exit 0 clean, 3 warnings only,
      1 errors.
  add-patch ARCHIVE|FOLDER [--replace]
      Puts a patch as it was downloaded into the patch folder, where the patch list finds
      it: a .zip, .7z or .rar file is unpacked into a folder named after it (the archive's
      entries are all checked first: nothing is written for one that would leave that
      folder, is damaged, has a password or would unpack to more than 8 GiB or 200 times
      its size); a folder is copied under its own name. --replace replaces a folder of that
      name. Prints the folder it made.
  places [--lang NAME]
      Lists where a mod folder can go, one place a line: the kind (an SD card, a mounted
      volume with the console firmware's folder luma/ at its root; or an emulator, Azahar,
      Citra or Lime3DS, whose user folder exists), a tab, the folder the title folders go
      into (luma/titles or load/mods, made by install when missing), a tab, the free space.

Options:
  --out PATH          the image to write (install); the patch folder to write (make-patch).
  --mods DIR          the folder that receives the title folder (install, instead of --out);
                      sd or emulator for the only such place that `places` lists.
  --mods              make-patch writes a mod folder instead of a patch folder with descriptor.
  --zip               make-patch also packs the folder it wrote into PATCHDIR.zip.
  --replace           with --out: writes over an existing file without asking; with --mods:
                      replaces an existing title folder whole.
  --patch FOLDER      the patch: its folder as `patches` prints it, its folder's name under
                      patch/, or its title. Without it no patch is applied and only the voices
                      and music change.
  --lang NAME         the language of the messages and of the patch descriptors, a file
                      lang/NAME.lng (English, Русский, ...). Default: from LC_ALL, LC_MESSAGES
                      or LANG (Russian for "ru", otherwise English).
  --voice VOICES      english, japanese-mod (partly from later games) or japanese-orig; only
                      for a patch with voice sets. Default: english.
  --music SLOT=TITLE  plays TITLE in music slot SLOT, a number as `music` lists it (0 to 33 for
                      the Trilogy, 33 being its game selection menu; 0 to 21 for Apollo
                      Justice). TITLE is a title exactly as `music` lists it. Slots 10 and 11 of
                      the Trilogy are one field in the game: setting either sets both. May be
                      repeated; applied after --music-file.
  --music-file FILE   SLOT=TITLE lines, one a line (UTF-8); empty lines and lines starting
                      with # are skipped.
  --write SLOT=TITLE  as --music, for the music command: written straight into IMAGE. May be
                      repeated.
  --from DIR          the translated tree (make-patch).
  --title TEXT        the patch's title (make-patch).
  --description-file FILE
                      the patch's description, a text file (make-patch).
  --no-receipt        install writes no receipt: without it, a successful run leaves
                      "<new image>.txt" beside the new image, with what went in and came
                      out (SHA-256 of both images) and the whole log.
  --help              this text.

Exit codes: 0 success, 1 the run or the check failed (or the image was refused),
2 wrong usage, 3 the installation completed with warnings (the log's last lines repeat
them: a part of the patch, such as the voices or the music, may be missing), 4 the
standard output was closed during an installation (the program reading it ended, as
`head` does), which then stopped as on Ctrl+C and wrote nothing. An installation that
was already checking its new image finishes instead; its receipt keeps the whole log.

Example:
  quill-patch-cli patches "Ace Attorney Trilogy.cia"
  quill-patch-cli install "Ace Attorney Trilogy.cia" --out "Trilogy (patched).cia" \
      --patch "My Patch" --voice japanese-orig --music "0=Courtroom Lounge 2004"
)";
}

}  // namespace qpt::cli
