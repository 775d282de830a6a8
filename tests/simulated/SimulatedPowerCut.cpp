// Power cuts: what each file system keeps of the changes made since a recording began.
//
// A folder's names are kept in slots, as FAT keeps its 32-byte directory entries, 16 to a 512-byte
// sector. NTFS's journal applies each call's changes to names whole, so there the slots only tell
// which names exist. On FAT they land sector by sector, and a rename writes what Windows' FAT
// driver writes (fastfat: FatSetRenameInfo in fileinfo.c, FatCreateNewDirent in dirsup.c,
// FatUnpinRepinnedBcbs in cachesup.c): a new name takes slots after the last one used; a rename
// within a folder to a name of as many slots rewrites the old name's slots, otherwise frees them
// and takes new ones; a name it replaces is freed; the sectors a call dirtied are written at its
// end, one by one. A long name's slots carry a checksum of its 8.3 name: where they do not fit
// the 8.3 slot after them, the file is known by its 8.3 name only.
#include <algorithm>
#include <regex>

#include "simulated/MachineState.h"

using namespace simulated;

namespace {

constexpr std::size_t kSlotsPerSector = 16;
constexpr std::size_t kPage = 4096;

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
    std::size_t longSlots;  // before its own
    std::uint64_t size;
  };
  struct Slot {
    int dirent = -1;        // -1 never used, -2 "." or "..", -3 freed
    bool longName = false;  // one of the long name's slots
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

  explicit Recording(State& state) : s(state), currentDirectory(state.currentDirectory) {}

  State& s;
  std::map<std::string, Slots> base;  // at the start
  std::map<std::string, Slots> folders;
  std::map<const FileData*, std::string> baseBytes;
  std::vector<Dirent> dirents;
  std::vector<Effect> effects;
  Path currentDirectory;
  bool paused = false;  // after a cut, the machine runs on unrecorded

  Slots& slotsOf(const std::string& folder) {
    if (folders.count(folder) == 0) {
      Slots slots(kSlotsPerSector);
      if (folder.size() != 3) slots[0] = slots[1] = Slot{-2, false};  // a root has no "." or ".."
      base[folder] = folders[folder] = slots;
    }
    return folders[folder];
  }

  // A name for `entry` in `folder`, with the 8.3 name Windows makes for a long one: its first six
  // letters, "~" and the lowest number free (or its letters, where only their case is not 8.3).
  int add(const std::string& folder, const Entry& entry, const std::string& key) {
    Dirent d{entry, key, "", 0, entry.data ? entry.data->bytes.size() : 0};
    const std::string own = entry.path.substr(fileNameOffset(s.cp, entry.path));
    if (!isShortName(own)) {
      const std::string name = folded(s.cp, own);
      const std::size_t dot = name.rfind('.');
      const std::string base =
          std::regex_replace(name.substr(0, dot), std::regex("[^A-Z0-9_~!#$%&'()@^`{}-]"), "");
      auto taken = [&](const std::string& candidate) {
        return std::any_of(slotsOf(folder).begin(), slotsOf(folder).end(), [&](Slot slot) {
          return slot.dirent >= 0 && dirents[slot.dirent].shortName == candidate;
        });
      };
      d.longSlots = (name.size() + 12) / 13;
      for (int n = 0; !isShortName(d.shortName) || taken(d.shortName); ++n) {
        d.shortName = n == 0 ? name
                             : base.substr(0, 6) + "~" + std::to_string(n) +
                                   (dot == std::string::npos ? "" : "." + name.substr(dot + 1, 3));
      }
    }
    dirents.push_back(d);
    return static_cast<int>(dirents.size()) - 1;
  }

  // Writes the slots of `dirent` from `first` on (after the last one used, by default).
  void write(Effect& e, const std::string& folder, int dirent, std::size_t first = SIZE_MAX) {
    Slots& slots = slotsOf(folder);
    const std::size_t count = dirents[dirent].longSlots + 1;
    if (first == SIZE_MAX) {
      for (first = slots.size(); first > 0 && slots[first - 1].dirent == -1;) --first;
    }
    slots.resize(std::max(slots.size(), (first + count + 15) / 16 * 16));
    for (std::size_t i = first; i < first + count; ++i) {
      slots[i] = Slot{dirent, i + 1 < first + count};
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
      if (slots[i].dirent < 0 || slots[i].longName || dirents[slots[i].dirent].key != key) continue;
      count = dirents[slots[i].dirent].longSlots + 1;
      for (std::size_t j = i + 1 - count; j <= i; ++j) {
        slots[j] = Slot{-3, false};
        e.sectors.emplace(Sector{folder, j / kSlotsPerSector}, Slots{});
      }
      return i + 1 - count;
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
      const auto first = folders[sector.first].begin() + static_cast<long>(sector.second * 16);
      image.assign(first, first + kSlotsPerSector);
    }
    effects.push_back(std::move(e));
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
            source == target && count == r.dirents[d].longSlots + 1 ? first : SIZE_MAX);
  });
}

// Every name of the file gets its new size, in one call.
void SimulatedWindows::State::noteResized(const FileData* file) {
  Recording::note(recording, [&](Recording& r, Recording::Effect& e) {
    for (auto& [folder, slots] : r.folders) {
      for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].dirent < 0 || r.dirents[slots[i].dirent].entry.data.get() != file) continue;
        r.dirents.push_back(r.dirents[slots[i].dirent]);
        r.dirents.back().size = file->bytes.size();
        slots[i].dirent = static_cast<int>(r.dirents.size()) - 1;
        e.sectors.emplace(Recording::Sector{folder, i / kSlotsPerSector}, Recording::Slots{});
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

// Every name on every volume, in the order of their keys, as the slots of its folder.
void SimulatedWindows::recordPowerCut() {
  State& s = *state_;
  s.recording = std::make_shared<State::Recording>(s);
  State::Recording& r = *s.recording;
  State::Recording::Effect ignored;
  for (const auto& [key, entry] : s.entries) {
    if (entry.data) r.baseBytes[entry.data.get()] = entry.data->bytes;
    const std::string folder = parentKey(s.cp, key);
    if (folder != key) r.write(ignored, folder, r.add(folder, entry, key));
  }
  r.base = r.folders;
}

std::size_t SimulatedWindows::recordedEffects() const {
  return state_->recording ? state_->recording->effects.size() : 0;
}

void SimulatedWindows::cutPower(std::size_t effects, const std::function<int(int)>& pick) {
  State& s = *state_;
  State::Recording& r = *s.recording;
  r.paused = true;
  auto fat = [&](const std::string& key) {
    return key[1] == ':' && s.drives[upperAscii(key[0]) - 'A'].fileSystem == FileSystem::fat;
  };
  // The data each file holds for sure, as at its last flush, which also made every change to
  // names before it durable; and the pages written since.
  std::map<const State::FileData*, std::string> bytes = r.baseBytes;
  std::map<const State::FileData*, std::map<std::size_t, std::vector<const std::string*>>> pages;
  std::vector<const State::Recording::Effect*> names;
  std::size_t durable = 0;
  for (std::size_t i = 0; i < std::min(effects, r.effects.size()); ++i) {
    const State::Recording::Effect& e = r.effects[i];
    if (!e.sectors.empty()) {
      names.push_back(&e);
    } else if (e.bytes) {
      pages[e.file][e.page].push_back(&*e.bytes);
    } else {
      for (const auto& [page, versions] : pages[e.file])
        overlay(bytes[e.file], page, *versions.back());
      pages.erase(e.file);
      durable = names.size();
    }
  }
  // The names: an ordered prefix of the calls that changed them, and on FAT any sectors of the
  // next. Then each page: as at its file's last flush, or any version since.
  std::map<std::string, State::Recording::Slots> slots = r.base;
  auto land = [&](const State::Recording::Effect& e, unsigned chosen) {
    unsigned bit = 1;
    for (const auto& [sector, image] : e.sectors) {
      State::Recording::Slots& folder = slots[sector.first];
      folder.resize(std::max(folder.size(), (sector.second + 1) * kSlotsPerSector));
      if ((chosen & bit) != 0) {
        std::copy(image.begin(), image.end(),
                  folder.begin() + static_cast<long>(sector.second * kSlotsPerSector));
      }
      bit <<= 1;
    }
  };
  const std::size_t landed =
      durable + static_cast<std::size_t>(pick(static_cast<int>(names.size() - durable) + 1));
  for (std::size_t i = 0; i < landed; ++i) land(*names[i], ~0u);
  if (landed < names.size() && fat(names[landed]->sectors.begin()->first.first)) {
    land(*names[landed], static_cast<unsigned>(pick(1 << names[landed]->sectors.size())));
  }
  for (const auto& [file, written] : pages) {
    for (const auto& [page, versions] : written) {
      const int version = pick(static_cast<int>(versions.size()) + 1);
      if (version > 0) overlay(bytes[file], page, *versions[version - 1]);
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
  calls_.clear();
  messageBoxes_.clear();
  pauses_.clear();
  started_.clear();
  handlesAtExit_.clear();
  // Every file and link is what the slots of its folder say (a name met twice: lookups find the
  // first); a file no name reaches is gone. A grown end never written holds zeros on NTFS and what
  // the clusters held before on FAT.
  for (auto it = s.entries.begin(); it != s.entries.end();) {
    it = it->second.directory ? std::next(it) : s.entries.erase(it);
  }
  std::map<const State::FileData*, std::shared_ptr<State::FileData>> made;
  for (const auto& [folder, list] : slots) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (list[i].dirent < 0 || list[i].longName) continue;
      const State::Recording::Dirent& d = r.dirents[list[i].dirent];
      bool whole = i >= d.longSlots;
      for (std::size_t j = i - std::min(i, d.longSlots); j < i; ++j) {
        whole = whole && list[j].longName && r.dirents[list[j].dirent].key == d.key &&
                r.dirents[list[j].dirent].shortName == d.shortName;
      }
      State::Entry entry = d.entry;
      const std::size_t name = fileNameOffset(s.cp, entry.path);
      if (!whole) entry.path = entry.path.substr(0, name) + d.shortName;
      const std::string key = folded(s.cp, entry.path);
      if (entry.directory || s.entries.count(key) != 0) continue;
      if (entry.data) {
        std::shared_ptr<State::FileData>& file = made[d.entry.data.get()];
        if (!file) {
          file = std::make_shared<State::FileData>(*d.entry.data);
          file->bytes = bytes[d.entry.data.get()];
          file->bytes.resize(d.size, fat(folder) ? '\xF6' : '\0');
        }
        entry.data = file;
      }
      s.entries[key] = entry;
    }
  }
}
