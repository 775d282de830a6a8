// Power cuts: what each file system keeps of the changes made since the recording began.
//
// A folder's names are kept in slots, as a FAT directory keeps its 32-byte entries, 16 to a
// 512-byte sector. On NTFS the journal applies every change to names whole, so there the slots
// only tell which names exist. On FAT, a change lands sector by sector, and what a rename writes
// follows Windows' FAT driver (fastfat: fileinfo.c, FatSetRenameInfo; dirsup.c,
// FatCreateNewDirent; cachesup.c, FatUnpinRepinnedBcbs):
// - a new name takes slots after the last one used, never freed ones while there is room;
// - a rename within a folder to a name that takes as many slots rewrites the old name's slots in
//   place; otherwise it frees them and takes new ones; a name it replaces is freed first;
// - a long name's slots carry a checksum of its 8.3 name: one that does not match the 8.3 slot
//   after it is ignored, and the file is then known by its 8.3 name only;
// - a call's dirty sectors are written at its end, one by one, so that a cut lands any of them.
#include <algorithm>

#include "simulated/MachineState.h"

using namespace simulated;

namespace {

constexpr std::size_t kSlotsPerSector = 16;
constexpr std::size_t kPage = 4096;
// The bytes a FAT cluster holds before a file's data reaches it: whatever was there.
constexpr char kStale = '\xF6';

std::string parentKey(CodePage cp, const std::string& key) {
  std::string parent = key.substr(0, fileNameOffset(cp, key));
  if (parent.size() > 3 && endsWithSeparator(cp, parent)) parent.pop_back();
  return parent;
}

std::string childKey(CodePage cp, const std::string& folder, const std::string& name) {
  return endsWithSeparator(cp, folder) ? folder + name : folder + "\\" + name;
}

bool isRootKey(const std::string& key) {
  return (key.size() == 3 && key[1] == ':') ||
         (startsWith(key, "\\\\") && std::count(key.begin(), key.end(), '\\') == 3);
}

// Whether FAT keeps `name` in one slot: an 8.3 name whose base and extension are each in one case.
bool isShortName(const std::string& name) {
  auto fits = [](const std::string& part, std::size_t most) {
    bool upper = false;
    bool lower = false;
    for (const char c : part) {
      upper = upper || (c >= 'A' && c <= 'Z');
      lower = lower || (c >= 'a' && c <= 'z');
      const bool other = static_cast<unsigned char>(c) >= 0x80 || (c >= '0' && c <= '9') ||
                         std::string("_-~!#$%&'()@^`{}").find(c) != std::string::npos;
      if (!isAsciiLetter(c) && !other) return false;
    }
    return !part.empty() && part.size() <= most && !(upper && lower);
  };
  const std::size_t dot = name.find('.');
  return fits(name.substr(0, dot), 8) &&
         (dot == std::string::npos || fits(name.substr(dot + 1), 3));
}

// `page` of `file` as the disk holds it after a write: that page's bytes, the file made longer
// with `fill` up to it.
void overlay(std::string& file, std::size_t page, const std::string& bytes, char fill) {
  if (file.size() < page * kPage + bytes.size()) file.resize(page * kPage + bytes.size(), fill);
  file.replace(page * kPage, bytes.size(), bytes);
}

}  // namespace

void SimulatedWindows::State::Effect::touch(const std::string& folder, std::size_t slot) {
  const std::pair<std::string, std::size_t> sector{folder, slot / kSlotsPerSector};
  if (std::find(sectors.begin(), sectors.end(), sector) == sectors.end()) sectors.push_back(sector);
}

SimulatedWindows::FileSystem SimulatedWindows::State::fileSystemOf(const std::string& key) const {
  return key.size() > 1 && key[1] == ':' ? drives[upperAscii(key[0]) - 'A'].fileSystem
                                         : FileSystem::ntfs;
}

auto SimulatedWindows::State::Recording::slotsOf(const std::string& folder) -> std::vector<Slot>& {
  if (folders.count(folder) == 0) {
    const std::vector<Slot> empty(isRootKey(folder) ? 0 : 2, Slot{-2, false});
    base.emplace(folder, empty);
    folders[folder] = empty;
  }
  return folders[folder];
}

// A name for `entry` (its key `key`) in `folder`: on FAT, with the 8.3 name Windows makes for a
// long one (the first six letters, "~" and the lowest free number; a name only the case of which
// is no 8.3 name keeps its letters).
int SimulatedWindows::State::addDirent(const std::string& folder, const Entry& entry,
                                       const std::string& key) {
  State& s = *this;
  Recording& r = *recording;
  Dirent d{entry, key, "", 0, entry.data ? entry.data->bytes.size() : 0};
  const std::string name = entry.path.substr(fileNameOffset(s.cp, entry.path));
  if (s.fileSystemOf(folder) == SimulatedWindows::FileSystem::fat && !isShortName(name)) {
    d.longSlots = static_cast<int>((name.size() + 12) / 13);
    std::string upper = folded(s.cp, name);
    const std::size_t dot = upper.rfind('.');
    std::string base = upper.substr(0, dot);
    base.erase(std::remove_if(base.begin(), base.end(), [](char c) { return !isShortName({c}); }),
               base.end());
    const std::string ext = dot == std::string::npos ? "" : "." + upper.substr(dot + 1, 3);
    auto taken = [&](const std::string& candidate) {
      return std::any_of(r.slotsOf(folder).begin(), r.slotsOf(folder).end(), [&](auto slot) {
        return slot.dirent >= 0 &&
               (r.dirents[slot.dirent].shortName == candidate ||
                r.dirents[slot.dirent].key == childKey(s.cp, folder, candidate));
      });
    };
    d.shortName = upper;
    for (int n = 1; !isShortName(d.shortName) || taken(d.shortName); ++n) {
      d.shortName = base.substr(0, 6) + "~" + std::to_string(n) + ext;
    }
  }
  r.dirents.push_back(d);
  return static_cast<int>(r.dirents.size()) - 1;
}

// Writes the slots of dirent `d` from `first` on (at the end: from the first slot never used).
void SimulatedWindows::State::Recording::writeRun(const std::string& folder, int d, Effect& effect,
                                                  std::size_t first) {
  Recording& r = *this;
  std::vector<Slot>& slots = slotsOf(folder);
  if (first == SIZE_MAX) first = slots.size();
  const std::size_t count = static_cast<std::size_t>(r.dirents[d].longSlots) + 1;
  if (slots.size() < first + count) slots.resize(first + count);
  for (std::size_t i = 0; i < count; ++i) {
    slots[first + i] = Slot{d, i + 1 < count};
    effect.touch(folder, first + i);
  }
}

// Frees the slots of the name `key` in `folder`: the first of them, or SIZE_MAX when it has none.
std::size_t SimulatedWindows::State::Recording::freeRun(const std::string& folder,
                                                        const std::string& key, Effect& effect,
                                                        std::size_t* count) {
  Recording& r = *this;
  std::vector<Slot>& slots = slotsOf(folder);
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i].dirent < 0 || slots[i].longName || r.dirents[slots[i].dirent].key != key) continue;
    const std::size_t first = i - static_cast<std::size_t>(r.dirents[slots[i].dirent].longSlots);
    if (count != nullptr) *count = i - first + 1;
    for (std::size_t j = first; j <= i; ++j) {
      slots[j] = Slot{};
      effect.touch(folder, j);
    }
    return first;
  }
  return SIZE_MAX;
}

void SimulatedWindows::State::Recording::commit(Effect effect) {
  for (const auto& [folder, sector] : effect.sectors) {
    const std::vector<Slot>& slots = folders[folder];
    std::vector<Slot> image(kSlotsPerSector);
    for (std::size_t i = 0; i < kSlotsPerSector; ++i) {
      if (sector * kSlotsPerSector + i < slots.size())
        image[i] = slots[sector * kSlotsPerSector + i];
    }
    effect.images.push_back(image);
  }
  effects.push_back(std::move(effect));
}

void SimulatedWindows::State::noteCreated(const Path& path) {
  if (!recording || recording->paused) return;
  const std::string folder = path.parent().key(cp);
  Effect effect;
  recording->writeRun(folder, addDirent(folder, entries[path.key(cp)], path.key(cp)), effect);
  recording->commit(std::move(effect));
}

void SimulatedWindows::State::noteRemoved(const std::string& key) {
  if (!recording || recording->paused) return;
  Effect effect;
  recording->freeRun(parentKey(cp, key), key, effect);
  recording->commit(std::move(effect));
}

void SimulatedWindows::State::noteRenamed(const Path& from, const Path& to, bool replaced) {
  if (!recording || recording->paused) return;
  Recording& r = *recording;
  const std::string source = from.parent().key(cp);
  const std::string target = to.parent().key(cp);
  Effect effect;
  if (replaced) r.freeRun(target, to.key(cp), effect);
  const int d = addDirent(target, entries[to.key(cp)], to.key(cp));
  std::size_t count = 0;
  const std::size_t first = r.freeRun(source, from.key(cp), effect, &count);
  const bool inPlace =
      source == target && count == static_cast<std::size_t>(r.dirents[d].longSlots) + 1;
  r.writeRun(target, d, effect, inPlace ? first : SIZE_MAX);
  r.commit(std::move(effect));
}

// Every name of the file gets its new size, in one call.
void SimulatedWindows::State::noteResized(const FileData* file) {
  if (!recording || recording->paused) return;
  Recording& r = *recording;
  Effect effect;
  for (auto& [folder, slots] : r.folders) {
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (slots[i].dirent < 0 || slots[i].longName ||
          r.dirents[slots[i].dirent].entry.data.get() != file) {
        continue;
      }
      Dirent resized = r.dirents[slots[i].dirent];
      resized.size = file->bytes.size();
      r.dirents.push_back(resized);
      slots[i].dirent = static_cast<int>(r.dirents.size()) - 1;
      effect.touch(folder, i);
    }
  }
  if (!effect.sectors.empty()) r.commit(std::move(effect));
}

void SimulatedWindows::State::noteWritten(const FileData* file, std::uint64_t from,
                                          std::uint64_t to) {
  if (!recording || recording->paused) return;
  for (std::size_t page = from / kPage; page * kPage < to; ++page) {
    recording->effects.push_back(
        Effect{{}, {}, file, page, file->bytes.substr(page * kPage, kPage)});
  }
}

void SimulatedWindows::State::noteFlushed(const FileData* file) {
  if (!recording || recording->paused) return;
  recording->effects.push_back(Effect{{}, {}, file, 0, std::nullopt});
}

// Every name on every volume, in the order of their keys, as the slots of its folder.
void SimulatedWindows::recordPowerCut() {
  State& s = *state_;
  s.recording = State::Recording{};
  State::Recording& r = *s.recording;
  r.currentDirectory = s.currentDirectory;
  r.longNames = s.longNames;
  r.shortNames = s.shortNames;
  State::Effect ignored;
  for (const auto& [key, entry] : s.entries) {
    if (entry.data) r.baseBytes[entry.data.get()] = entry.data->bytes;
    if (!isRootKey(key)) {
      r.writeRun(parentKey(s.cp, key), s.addDirent(parentKey(s.cp, key), entry, key), ignored);
    }
  }
  r.base = r.folders;
}

std::size_t SimulatedWindows::recordedEffects() const {
  return state_->recording ? state_->recording->effects.size() : 0;
}

void SimulatedWindows::cutPower(std::size_t effects, const std::function<int(int)>& pick) {
  State& s = *state_;
  State::Recording& r = s.recording.value();
  r.paused = true;
  // The data each file holds for sure: as recorded, then as at each of its flushes. A flush also
  // makes every change to names before it durable.
  std::map<const State::FileData*, std::string> bytes = r.baseBytes;
  std::map<const State::FileData*, std::map<std::size_t, std::vector<const std::string*>>> pending;
  std::vector<const State::Effect*> names;
  std::size_t durable = 0;
  for (std::size_t i = 0; i < std::min(effects, r.effects.size()); ++i) {
    const State::Effect& e = r.effects[i];
    if (!e.sectors.empty()) {
      names.push_back(&e);
    } else if (e.bytes) {
      pending[e.file][e.page].push_back(&*e.bytes);
    } else {
      for (const auto& [page, versions] : pending[e.file])
        overlay(bytes[e.file], page, *versions.back(), '\0');
      pending.erase(e.file);
      durable = names.size();
    }
  }
  // The changes to names that landed: an ordered prefix, and on FAT part of the next.
  std::map<std::string, std::vector<State::Slot>> slots = r.base;
  auto land = [&](const State::Effect& e, unsigned sectors) {
    for (std::size_t k = 0; k < e.sectors.size(); ++k) {
      if ((sectors >> k & 1) == 0) continue;
      std::vector<State::Slot>& folder = slots[e.sectors[k].first];
      const std::size_t first = e.sectors[k].second * kSlotsPerSector;
      if (folder.size() < first + kSlotsPerSector) folder.resize(first + kSlotsPerSector);
      std::copy(e.images[k].begin(), e.images[k].end(), folder.begin() + static_cast<long>(first));
    }
  };
  const std::size_t landed =
      durable + static_cast<std::size_t>(pick(static_cast<int>(names.size() - durable + 1)));
  for (std::size_t i = 0; i < landed; ++i) land(*names[i], ~0u);
  if (landed < names.size() && s.fileSystemOf(names[landed]->sectors[0].first) == FileSystem::fat) {
    land(*names[landed], static_cast<unsigned>(pick(1 << names[landed]->sectors.size())));
  }
  // Each page written since its file's last flush: as it was then, or any version since.
  for (const auto& [file, pages] : pending) {
    for (const auto& [page, versions] : pages) {
      const int version = pick(static_cast<int>(versions.size()) + 1);
      if (version > 0) overlay(bytes[file], page, *versions[version - 1], '\0');
    }
  }

  // The restart: nothing is open, no other program runs, no fault is left.
  s.handles.clear();
  s.heldOpen.clear();
  s.faults = Faults{};
  for (auto& [name, library] : s.libraries) library.references = 0;
  s.lastError = kErrorSuccess;
  s.currentDirectory = r.currentDirectory;
  s.prompts.clear();
  s.longNames = r.longNames;
  s.shortNames = r.shortNames;
  calls_.clear();
  messageBoxes_.clear();
  pauses_.clear();
  started_.clear();
  handlesAtExit_.clear();
  // Every file and link is what the slots of its folder say; a file no name reaches is gone.
  for (auto it = s.entries.begin(); it != s.entries.end();) {
    it = it->second.directory ? std::next(it) : s.entries.erase(it);
  }
  std::map<const State::FileData*, std::shared_ptr<State::FileData>> made;
  for (const auto& [folder, folderSlots] : slots) {
    const bool fat = s.fileSystemOf(folder) == FileSystem::fat;
    for (std::size_t i = 0; i < folderSlots.size(); ++i) {
      if (folderSlots[i].dirent < 0 || folderSlots[i].longName) continue;
      const State::Dirent& d = r.dirents[folderSlots[i].dirent];
      if (d.entry.directory) continue;
      bool whole = i >= static_cast<std::size_t>(d.longSlots);
      for (std::size_t j = i - std::min<std::size_t>(i, d.longSlots); j < i; ++j) {
        const State::Slot slot = folderSlots[j];
        whole = whole && slot.longName && r.dirents[slot.dirent].key == d.key &&
                r.dirents[slot.dirent].shortName == d.shortName;
      }
      State::Entry entry = d.entry;
      if (!whole) entry.path = entry.path.substr(0, fileNameOffset(s.cp, entry.path)) + d.shortName;
      const std::string key = folded(s.cp, entry.path);
      if (s.entries.count(key) != 0) continue;  // a name met twice: lookups find the first
      if (whole && !d.shortName.empty()) {
        s.shortNames[key] = d.shortName;
        s.longNames[childKey(s.cp, parentKey(s.cp, key), d.shortName)] =
            entry.path.substr(fileNameOffset(s.cp, entry.path));
      }
      if (entry.data) {
        std::shared_ptr<State::FileData>& file = made[d.entry.data.get()];
        if (!file) {
          file = std::make_shared<State::FileData>(*d.entry.data);
          file->bytes = bytes[d.entry.data.get()];
          file->bytes.resize(d.size, fat ? kStale : '\0');
        }
        entry.data = file;
      }
      s.entries[key] = entry;
    }
  }
}
