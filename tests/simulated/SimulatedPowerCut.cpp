// Power cuts: what each file system keeps of the changes made since a recording began.
//
// A folder's names are kept in slots, as FAT keeps its 32-byte directory entries, 16 to a 512-byte
// sector, in an allocation that grows a 4 KiB cluster at a time. NTFS's journal applies each
// call's changes to names whole, so there the slots only tell which names exist. On FAT and exFAT
// they land sector by sector, and a rename writes what Windows' FAT driver writes (fastfat:
// FatSetRenameInfo in fileinfo.c, FatCreateNewDirent in dirsup.c, FatUnpinRepinnedBcbs in
// cachesup.c): a new name takes never-used slots after the last one used while the allocation has
// them, then the first run of free slots that fits, and only then grows the folder; a rename
// within a folder to a name of as many slots rewrites the old name's slots, otherwise frees them
// and takes new ones; a name it replaces is freed; the sectors a call dirtied are written at its
// end, one by one. On FAT a long name's slots stand before its 8.3 slot and carry a checksum of
// it: where they do not match it, the file is known by its 8.3 name only. On exFAT a name is a
// set (File, Stream Extension, one File Name slot for each 15 characters) under a checksum of the
// whole set, its name and size included: a set that does not check out is no file. exFAT's own
// driver is not public; it is taken to place and rename as FAT's does.
#include <algorithm>
#include <regex>

#include "simulated/MachineState.h"

using namespace simulated;

namespace {

constexpr std::size_t kSlotsPerSector = 16;
constexpr std::size_t kSlotsPerCluster = 128;
constexpr std::size_t kPage = 4096;
constexpr int kNeverUsed = -1;
constexpr int kDots = -2;
constexpr int kFreed = -3;

std::string parentKey(CodePage cp, const std::string& key) {
  std::string parent = key.substr(0, fileNameOffset(cp, key));
  if (parent.size() > 3 && endsWithSeparator(cp, parent)) parent.pop_back();
  return parent;
}

// Whether FAT keeps `name` in one slot: an 8.3 name whose base and extension are each in one case.
bool isShortName(const std::string& name) {
  static const std::regex shortName(
      "([A-Z0-9_~!#$%&'()@^`{}-]{1,8}|[a-z0-9_~!#$%&'()@^`{}-]{1,8})"
      "(\\.([A-Z0-9_~!#$%&'()@^`{}-]{1,3}|[a-z0-9_~!#$%&'()@^`{}-]{1,3}))?");
  return std::regex_match(name, shortName);
}

// A page of a file as a write left it, over what the file held.
void overlay(std::string& file, std::size_t page, const std::string& bytes) {
  file.resize(std::max(file.size(), page * kPage + bytes.size()));
  file.replace(page * kPage, bytes.size(), bytes);
}

}  // namespace

struct SimulatedWindows::State::Recording {
  struct Dirent {
    Entry entry;  // the name as written, with its file
    std::string key;
    std::string shortName;  // the 8.3 name of a long one
    std::size_t secondary;  // slots besides the one that names the file
    std::uint64_t size;
  };
  // A name takes its secondary slots and one more: on FAT the long name's slots, then the 8.3
  // slot that names the file; on exFAT the File slot that names it, then Stream Extension and
  // File Name slots.
  struct Slot {
    int dirent = kNeverUsed;
    bool secondary = false;
  };
  using Slots = std::vector<Slot>;
  using Sector = std::pair<std::string, std::size_t>;  // folder key, sector
  // A call's change: the sectors of names it wrote, as they became; else a page of `file` it wrote
  // (`bytes`), or a flush of `file`.
  struct Effect {
    std::map<Sector, Slots> sectors;
    const FileData* file = nullptr;
    std::size_t page = 0;
    std::optional<std::string> bytes;
  };

  explicit Recording(State& state) : s(state) {}

  State& s;
  std::map<std::string, Slots> base;  // at the start
  std::map<std::string, Slots> folders;
  std::map<const FileData*, std::string> baseBytes;
  std::vector<Dirent> dirents;
  std::vector<Effect> effects;
  Path currentDirectory;
  bool paused = false;  // after a cut, the machine runs on unrecorded

  FileSystem fileSystemOf(const std::string& key) const {
    return key[1] == ':' ? s.drives[upperAscii(key[0]) - 'A'].fileSystem : FileSystem::ntfs;
  }
  // The slot that names the file of the set whose first slot is `first`, and the reverse.
  std::size_t named(const std::string& folder, std::size_t first, const Dirent& d) const {
    return fileSystemOf(folder) == FileSystem::exfat ? first : first + d.secondary;
  }
  std::size_t firstOf(const std::string& folder, std::size_t named, const Dirent& d) const {
    return fileSystemOf(folder) == FileSystem::exfat ? named : named - d.secondary;
  }

  Slots& slotsOf(const std::string& folder) {
    if (folders.count(folder) == 0) {
      Slots slots(kSlotsPerCluster);
      if (folder.size() != 3) slots[0] = slots[1] = Slot{kDots, false};  // a root has none
      base[folder] = folders[folder] = slots;
    }
    return folders[folder];
  }

  // A name for `entry` in `folder`. On FAT a long one gets the 8.3 name Windows makes for it: its
  // first six letters, "~" and the lowest number free (or its letters, where only their case is
  // not 8.3).
  int add(const std::string& folder, const Entry& entry, const std::string& key) {
    Dirent d{entry, key, "", 0, entry.data ? entry.data->bytes.size() : 0};
    const std::string own = entry.path.substr(fileNameOffset(s.cp, entry.path));
    if (fileSystemOf(folder) == FileSystem::exfat) {
      d.secondary = 1 + (own.size() + 14) / 15;
    } else if (!isShortName(own)) {
      const std::string name = folded(s.cp, own);
      const std::size_t dot = name.rfind('.');
      const std::string base =
          std::regex_replace(name.substr(0, dot), std::regex("[^A-Z0-9_~!#$%&'()@^`{}-]"), "");
      auto taken = [&](const std::string& candidate) {
        return std::any_of(slotsOf(folder).begin(), slotsOf(folder).end(), [&](Slot slot) {
          return slot.dirent >= 0 && dirents[slot.dirent].shortName == candidate;
        });
      };
      d.secondary = (name.size() + 12) / 13;
      for (int n = 0; !isShortName(d.shortName) || taken(d.shortName); ++n) {
        d.shortName = n == 0 ? name
                             : base.substr(0, 6) + "~" + std::to_string(n) +
                                   (dot == std::string::npos ? "" : "." + name.substr(dot + 1, 3));
      }
    }
    dirents.push_back(d);
    return static_cast<int>(dirents.size()) - 1;
  }

  // Where `count` new slots go (FatCreateNewDirent): never-used ones after the last slot ever used,
  // while the allocation has them; else the first run of free ones that fits; else the folder
  // grows by a cluster, and they go after the last one used.
  static std::size_t allocate(Slots& slots, std::size_t count) {
    std::size_t unused = slots.size();
    while (unused > 0 && slots[unused - 1].dirent == kNeverUsed) --unused;
    if (unused + count <= slots.size()) return unused;
    for (std::size_t i = 0, run = 0; i < slots.size(); ++i) {
      run = slots[i].dirent == kNeverUsed || slots[i].dirent == kFreed ? run + 1 : 0;
      if (run == count) return i + 1 - count;
    }
    slots.resize(slots.size() + kSlotsPerCluster);
    return unused;
  }

  // Writes the slots of `dirent` from `first` on (where allocate() puts them, by default).
  void write(Effect& e, const std::string& folder, int dirent, std::size_t first = SIZE_MAX) {
    Slots& slots = slotsOf(folder);
    const Dirent& d = dirents[dirent];
    if (first == SIZE_MAX) first = allocate(slots, d.secondary + 1);
    slots.resize(std::max(slots.size(), first + d.secondary + 1));
    for (std::size_t i = first; i <= first + d.secondary; ++i) {
      slots[i] = Slot{dirent, i != named(folder, first, d)};
      e.sectors.emplace(Sector{folder, i / kSlotsPerSector}, Slots{});
    }
  }

  // Frees the slots of the name `key` in `folder`: the first, and their `count`; SIZE_MAX and 0
  // where it has none.
  std::size_t free(Effect& e, const std::string& folder, const std::string& key,
                   std::size_t& count) {
    Slots& slots = slotsOf(folder);
    count = 0;
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (slots[i].dirent < 0 || slots[i].secondary || dirents[slots[i].dirent].key != key)
        continue;
      const Dirent& d = dirents[slots[i].dirent];
      count = d.secondary + 1;
      const std::size_t first = firstOf(folder, i, d);
      for (std::size_t j = first; j < first + count; ++j) {
        slots[j] = Slot{kFreed, false};
        e.sectors.emplace(Sector{folder, j / kSlotsPerSector}, Slots{});
      }
      return first;
    }
    return SIZE_MAX;
  }

  // Runs `change` on the recording `r`, if one runs, and keeps the effect it made.
  template <typename Change>
  static void note(std::shared_ptr<Recording>& r, Change change) {
    if (!r || r->paused) return;
    Effect e;
    change(*r, e);
    if (!e.sectors.empty()) r->commit(std::move(e));
  }

  void commit(Effect e) {
    for (auto& [sector, image] : e.sectors) {
      Slots& slots = folders[sector.first];
      slots.resize(std::max(slots.size(), (sector.second + 1) * kSlotsPerSector));
      const auto first = slots.begin() + static_cast<long>(sector.second * kSlotsPerSector);
      image.assign(first, first + kSlotsPerSector);
    }
    effects.push_back(std::move(e));
  }

  // What the first n effects leave: the data each file holds for sure, as at its last flush, which
  // also made every change to names before it durable; the pages written since; the calls that
  // changed names, and how many of them are durable; the files in the order they were first
  // written, which a replay of the same choices on another machine keeps (their addresses do not).
  struct Landing {
    std::map<const FileData*, std::string> bytes;
    std::map<const FileData*, std::map<std::size_t, std::vector<const std::string*>>> pages;
    std::vector<const Effect*> names;
    std::size_t durable = 0;
    std::vector<const FileData*> written;
  };
  Landing landing(std::size_t n) const {
    Landing l{baseBytes, {}, {}, 0, {}};
    for (std::size_t i = 0; i < std::min(n, effects.size()); ++i) {
      const Effect& e = effects[i];
      if (!e.sectors.empty()) {
        l.names.push_back(&e);
      } else if (e.bytes) {
        l.pages[e.file][e.page].push_back(&*e.bytes);
        if (std::find(l.written.begin(), l.written.end(), e.file) == l.written.end()) {
          l.written.push_back(e.file);
        }
      } else {
        for (const auto& [page, versions] : l.pages[e.file]) {
          overlay(l.bytes[e.file], page, *versions.back());
        }
        l.pages.erase(e.file);
        l.durable = l.names.size();
      }
    }
    return l;
  }

  // The sectors of `e` that `chosen` has a bit for, into `slots`.
  static void land(const Effect& e, unsigned chosen, std::map<std::string, Slots>& slots) {
    unsigned bit = 1;
    for (const auto& [sector, image] : e.sectors) {
      Slots& folder = slots[sector.first];
      folder.resize(std::max(folder.size(), (sector.second + 1) * kSlotsPerSector));
      if ((chosen & bit) != 0) {
        std::copy(image.begin(), image.end(),
                  folder.begin() + static_cast<long>(sector.second * kSlotsPerSector));
      }
      bit <<= 1;
    }
  }

  // The names: an ordered prefix of the calls that changed them, and on FAT and exFAT any sectors
  // of the next.
  void landNames(const Landing& l, std::map<std::string, Slots>& slots,
                 const std::function<int(int)>& pick) const {
    const std::size_t landed =
        l.durable +
        static_cast<std::size_t>(pick(static_cast<int>(l.names.size() - l.durable) + 1));
    for (std::size_t i = 0; i < landed; ++i) land(*l.names[i], ~0u, slots);
    if (landed < l.names.size() &&
        fileSystemOf(l.names[landed]->sectors.begin()->first.first) != FileSystem::ntfs) {
      land(*l.names[landed], static_cast<unsigned>(pick(1 << l.names[landed]->sectors.size())),
           slots);
    }
  }

  // Each page: as at its file's last flush, or any version since (or, `together`, each file's
  // pages all as at its last flush or all as written last).
  static void landPages(Landing& l, const std::function<int(int)>& pick, bool together) {
    for (const FileData* file : l.written) {
      const auto written = l.pages.find(file);
      if (written == l.pages.end()) continue;
      const bool all = together && pick(2) == 1;
      for (const auto& [page, versions] : written->second) {
        const int version = all        ? static_cast<int>(versions.size())
                            : together ? 0
                                       : pick(static_cast<int>(versions.size()) + 1);
        if (version > 0) overlay(l.bytes[file], page, *versions[version - 1]);
      }
    }
  }

  // Whether the set of the slot `i` that names a file in `list` is whole: on FAT its long-name
  // slots before it (else the file keeps its 8.3 name alone), on exFAT its Stream Extension and
  // File Name slots after it, the former with its size (else it is no file).
  bool whole(const Slots& list, std::size_t i, bool exfat) const {
    const Dirent& d = dirents[list[i].dirent];
    const std::size_t first = exfat ? i : i - std::min(i, d.secondary);
    bool whole = exfat ? i + d.secondary < list.size() : i >= d.secondary;
    for (std::size_t j = first; whole && j <= first + d.secondary; ++j) {
      const Dirent* other = list[j].dirent >= 0 ? &dirents[list[j].dirent] : nullptr;
      whole = j == i || (list[j].secondary && other != nullptr && other->key == d.key &&
                         other->shortName == d.shortName && (j != i + 1 || other->size == d.size));
    }
    return whole;
  }

  // The file of `d` as the cut left it, one for all its names (in `made`): its bytes as they
  // landed, cut or grown to the size its name says.
  static std::shared_ptr<FileData> fileOf(
      const Dirent& d, FileSystem kind, std::map<const FileData*, std::shared_ptr<FileData>>& made,
      std::map<const FileData*, std::string>& bytes) {
    std::shared_ptr<FileData>& file = made[d.entry.data.get()];
    if (!file) {
      file = std::make_shared<FileData>(*d.entry.data);
      file->bytes = bytes[d.entry.data.get()];
      file->bytes.resize(d.size, kind != FileSystem::ntfs ? '\xF6' : '\0');
    }
    return file;
  }

  // Every file and link is what the landed `slots` of its folder say (a name met twice: lookups
  // find the first); a file no name reaches is gone. A grown end never written holds zeros on
  // NTFS and what the clusters held before on FAT and exFAT. A later recording goes on from these
  // slots, a file known by its 8.3 name alone taking that slot alone.
  void rebuild(const std::map<std::string, Slots>& slots,
               std::map<const FileData*, std::string>& bytes) {
    for (auto it = s.entries.begin(); it != s.entries.end();) {
      it = it->second.directory ? std::next(it) : s.entries.erase(it);
    }
    std::map<const FileData*, std::shared_ptr<FileData>> made;
    folders = slots;
    for (auto& [folder, list] : folders) {
      for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i].dirent >= 0 && !list[i].secondary)
          name(list[i], fileSystemOf(folder),
               whole(list, i, fileSystemOf(folder) == FileSystem::exfat), made, bytes);
      }
    }
  }

  // The file or folder that `slot` names, which is `whole` or not.
  void name(Slot& slot, FileSystem kind, bool whole,
            std::map<const FileData*, std::shared_ptr<FileData>>& made,
            std::map<const FileData*, std::string>& bytes) {
    if (!whole && kind == FileSystem::exfat) return;
    Dirent d = dirents[slot.dirent];
    Entry entry = d.entry;
    if (!whole) entry.path = entry.path.substr(0, fileNameOffset(s.cp, entry.path)) + d.shortName;
    const std::string key = folded(s.cp, entry.path);
    if (entry.directory || s.entries.count(key) != 0) return;
    if (entry.data) entry.data = fileOf(d, kind, made, bytes);
    s.entries[key] = entry;
    if (whole) return;
    d.key = key;
    d.secondary = 0;
    dirents.push_back(d);
    slot.dirent = static_cast<int>(dirents.size()) - 1;
  }

  // From here on: the names as the slots hold them now, each naming the file the machine has under
  // that name now, and the bytes as they are.
  void restart() {
    for (auto& [folder, slots] : folders) {
      for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].dirent < 0 || slots[i].secondary) continue;
        const auto live = s.entries.find(dirents[slots[i].dirent].key);
        if (live == s.entries.end() || live->second.directory) continue;
        Dirent d = dirents[slots[i].dirent];
        d.entry = live->second;
        d.size = d.entry.data ? d.entry.data->bytes.size() : 0;
        dirents.push_back(d);
        const std::size_t first = firstOf(folder, i, d);
        for (std::size_t j = first; j <= first + d.secondary && j < slots.size(); ++j) {
          slots[j].dirent = static_cast<int>(dirents.size()) - 1;
        }
      }
    }
    base = folders;
    baseBytes.clear();
    for (const auto& [key, entry] : s.entries) {
      if (entry.data) baseBytes[entry.data.get()] = entry.data->bytes;
    }
    effects.clear();
    currentDirectory = s.currentDirectory;
    paused = false;
  }
};

void SimulatedWindows::State::noteCreated(const Path& path) {
  Recording::note(recording, [&](Recording& r, Recording::Effect& e) {
    const std::string folder = path.parent().key(cp);
    r.write(e, folder, r.add(folder, entries[path.key(cp)], path.key(cp)));
  });
}

void SimulatedWindows::State::noteRemoved(const std::string& key) {
  std::size_t count = 0;
  Recording::note(recording, [&](Recording& r, Recording::Effect& e) {
    r.free(e, parentKey(cp, key), key, count);
  });
}

void SimulatedWindows::State::noteRenamed(const Path& from, const Path& to, bool replaced) {
  Recording::note(recording, [&](Recording& r, Recording::Effect& e) {
    std::size_t count = 0;
    const std::string source = from.parent().key(cp);
    const std::string target = to.parent().key(cp);
    if (replaced) r.free(e, target, to.key(cp), count);
    const int d = r.add(target, entries[to.key(cp)], to.key(cp));
    const std::size_t first = r.free(e, source, from.key(cp), count);
    r.write(e, target, d,
            source == target && count == r.dirents[d].secondary + 1 ? first : SIZE_MAX);
  });
}

// Every name of the file gets its new size, in one call: on FAT in its 8.3 slot, on exFAT in its
// Stream Extension slot and the set's checksum in its File slot.
void SimulatedWindows::State::noteResized(const FileData* file) {
  Recording::note(recording, [&](Recording& r, Recording::Effect& e) {
    for (auto& [folder, slots] : r.folders) {
      const std::size_t touched = r.fileSystemOf(folder) == FileSystem::exfat ? 2 : 1;
      for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].dirent < 0 || slots[i].secondary ||
            r.dirents[slots[i].dirent].entry.data.get() != file) {
          continue;
        }
        r.dirents.push_back(r.dirents[slots[i].dirent]);
        r.dirents.back().size = file->bytes.size();
        for (std::size_t j = i; j < i + touched; ++j) {
          slots[j].dirent = static_cast<int>(r.dirents.size()) - 1;
          e.sectors.emplace(Recording::Sector{folder, j / kSlotsPerSector}, Recording::Slots{});
        }
      }
    }
  });
}

void SimulatedWindows::State::noteWritten(const FileData* file, std::uint64_t from,
                                          std::uint64_t to) {
  if (!recording || recording->paused) return;
  for (std::size_t page = from / kPage; page * kPage < to; ++page) {
    recording->effects.push_back({{}, file, page, file->bytes.substr(page * kPage, kPage)});
  }
}

void SimulatedWindows::State::noteFlushed(const FileData* file) {
  if (!recording || recording->paused) return;
  recording->effects.push_back({{}, file, 0, std::nullopt});
}

// The first recording puts every name on every volume, in the order of their keys, into the slots
// of its folder; a later one goes on from the slots as they are.
void SimulatedWindows::recordPowerCut() {
  State& s = *state_;
  if (!s.recording) {
    s.recording = std::make_shared<State::Recording>(s);
    State::Recording::Effect ignored;
    for (const auto& [key, entry] : s.entries) {
      const std::string folder = parentKey(s.cp, key);
      if (folder != key) s.recording->write(ignored, folder, s.recording->add(folder, entry, key));
    }
  }
  s.recording->restart();
}

std::size_t SimulatedWindows::recordedEffects() const {
  return state_->recording ? state_->recording->effects.size() : 0;
}

std::size_t SimulatedWindows::directorySlot(const std::string& path) const {
  const State& s = *state_;
  const std::optional<Path> file = s.resolveKept(path);
  if (!s.recording || !file) return SIZE_MAX;
  const auto folder = s.recording->folders.find(file->parent().key(s.cp));
  if (folder == s.recording->folders.end()) return SIZE_MAX;
  for (std::size_t i = 0; i < folder->second.size(); ++i) {
    const State::Recording::Slot slot = folder->second[i];
    if (slot.dirent >= 0 && !slot.secondary &&
        s.recording->dirents[slot.dirent].key == file->key(s.cp)) {
      return i;
    }
  }
  return SIZE_MAX;
}

void SimulatedWindows::cutPower(std::size_t effects, const std::function<int(int)>& pick,
                                bool pagesTogether) {
  State& s = *state_;
  State::Recording& r = *s.recording;
  r.paused = true;
  State::Recording::Landing landing = r.landing(effects);
  std::map<std::string, State::Recording::Slots> slots = r.base;
  r.landNames(landing, slots, pick);
  State::Recording::landPages(landing, pick, pagesTogether);
  // The restart: nothing is open, no other program runs, no fault is left.
  s.handles.clear();
  s.heldOpen.clear();
  s.faults = Faults{};
  for (auto& [name, library] : s.libraries) library.references = 0;
  s.lastError = kErrorSuccess;
  s.currentDirectory = r.currentDirectory;
  s.prompts.clear();
  calls_.clear();
  messageBoxes_.clear();
  pauses_.clear();
  started_.clear();
  handlesAtExit_.clear();
  r.rebuild(slots, landing.bytes);
}
