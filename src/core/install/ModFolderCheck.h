// A mod folder that a run wrote, checked and taken off again later. The receipt beside the
// title folder ("<TitleID>.txt") lists every file the run wrote with its SHA-256: it tells a
// folder damaged on the card (a file missing or changed) from one that is whole, and which
// files a removal may delete. Files the receipt does not list are the player's own or another
// mod's: they are named, never deleted.
#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/localization/Language.h"

namespace qpt {

// One file as our receipt lists it: its path in the title folder ('/'-separated) and SHA-256.
struct TModReceiptFile {
  std::string path;
  std::string sha256;
};

// The files listed by the receipt beside titleFolder, or nullopt when there is none or it was
// not written by this program. The receipt is read as any file from a card: a large one, or
// one naming a path outside the title folder, is not ours.
std::optional<std::vector<TModReceiptFile>> ReadModReceipt(const std::filesystem::path& titleFolder);

enum class TModFileState { Good, Missing, Changed, Unreadable };

struct TModFolderReport {
  bool receiptOurs = false;
  struct TFile {
    std::string path;
    TModFileState state = TModFileState::Good;
  };
  std::vector<TFile> files;         // as the receipt lists them
  std::vector<std::string> others;  // in the folder and not written by the run, '/'-separated
  std::string listFailure;          // why the folder could not be listed through, if so
  bool stopped = false;
  // Every file the run wrote is there as written. Files not written by the run do not spoil
  // the mod and leave it true: they are named as a warning.
  bool ok = false;
  // What the player reads, in the language's words: every file missing, changed or not
  // written by the run, then the verdict.
  std::vector<std::string> lines;
};

// Reads every file the receipt lists back from the device and lists the folder. progress gets
// the files done and the total after each file.
TModFolderReport CheckModFolder(const std::filesystem::path& titleFolder, const TLangList& lang,
                                const std::atomic<bool>* stop = nullptr,
                                const std::function<void(std::size_t, std::size_t)>& progress = {});

// What a removal would do, worked out without reading the files: every file of the receipt
// that is there (changed or not) goes, every other file in the folder stays.
struct TModRemovalPlan {
  bool receiptOurs = false;
  std::vector<std::string> toDelete;  // '/'-separated
  std::vector<std::string> toKeep;
};
TModRemovalPlan PlanModFolderRemoval(const std::filesystem::path& titleFolder);

// The lines that tell the player, before a removal, which files go and which stay.
std::vector<std::string> RemovalPlanLines(const TModRemovalPlan& plan, const TLangList& lang);

struct TModRemoval {
  bool refused = false;              // no receipt of ours: nothing was touched
  std::vector<std::string> deleted;  // '/'-separated
  std::vector<std::string> kept;     // not written by the run, left in place
  bool folderRemoved = false;        // the title folder went as well, being empty
  std::string failure;               // empty, or why the removal stopped part-way
  std::vector<std::string> lines;    // the result in the language's words
};

// Why a folder without our receipt is not removed, in the language's words.
std::string RemovalRefusedText(const std::filesystem::path& titleFolder, const TLangList& lang);

// Deletes the files the receipt lists, the folders they leave empty and then the receipt. A
// removal that stops part-way (a card pulled out) keeps the receipt, so that running it again
// finishes it.
TModRemoval RemoveModFolder(const std::filesystem::path& titleFolder, const TLangList& lang);

}  // namespace qpt
