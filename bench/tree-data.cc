#include "bench/tree-data.h"

#include <cstdio>
#include <unordered_set>

#include "db/file-status-db/file-status-db.h"

namespace kelo_bench {

namespace {

constexpr int kFile = 0;
constexpr int kFolder = FileStatusDB::kFolder;
constexpr int kSynced = FileStatusDB::kSynced;
// Files per leaf folder: about what a photo day or a month of scans holds.
constexpr size_t kFilesPerFolder = 24;

std::string Format(const char* format, size_t a, size_t b = 0, size_t c = 0) {
  char text[128];
  std::snprintf(text, sizeof(text), format, a, b, c);
  return text;
}

std::string AsciiUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// One top-level folder of the tree: how its leaf folders and files are named.
struct Area {
  const char* name;
  std::vector<std::string> (*leaf)(size_t k);  // folder names from the area down
  std::string (*file)(size_t leaf, size_t i);  // file name in a leaf folder
};

std::vector<std::string> ArchiveLeaf(size_t k) {
  static const char* const kProjects[] = {"M\xC3\xBCller GmbH",
                                          "Projekt Nord",
                                          "scans",
                                          "\u00D1and\xC3\xBA S.A.",
                                          "Client Alpha",
                                          "Q-Reports",
                                          "Caf\xC3\xA9 Rouge",
                                          "\xE6\x9D\xB1\xE4\xBA\xAC Office"};
  return {Format("Volume %02zu", k / 2304 + 1), Format("%zu", 2001 + k / 96 % 24),
          Format("%02zu", k / 8 % 12 + 1), kProjects[k % 8]};
}
std::string ArchiveFile(size_t leaf, size_t i) {
  static const char* const kNames[] = {"scan %06zu.tif",
                                       "Rechnung %zu \xE2\x80\x93 M\xC3\xBCller.pdf",
                                       "IMG_%05zu.JPG", "notes-%zu.txt"};
  const size_t n = leaf * kFilesPerFolder + i;
  return Format(kNames[i % 4], i % 4 == 2 ? n % 100000 : n);
}

std::vector<std::string> ProjectsLeaf(size_t k) {
  static const char* const kPhases[] = {"01 Angebot", "02 Entwurf", "03 Ausf\xC3\xBChrung",
                                        "04 Abnahme"};
  return {Format("Client %03zu", k / 24 + 1), Format("%zu", 2019 + k / 4 % 6), kPhases[k % 4]};
}
std::string ProjectsFile(size_t leaf, size_t i) {
  if (i % 3 == 0) return Format("Entwurf %zu \xE2\x80\x93 \xC3\x84nderung.pdf", leaf * 100 + i);
  if (i % 3 == 1) return Format("plan-%zu.key", leaf * 100 + i);
  return Format("Kostensch\xC3\xA4tzung v%zu.xlsx", i);
}

// One folder a day: year, then "YYYY-MM-DD place".
std::vector<std::string> PhotosLeaf(size_t k) {
  static const char* const kPlaces[] = {"K\xC3\xBCste", "Berlin", "\xE6\x9D\xB1\xE4\xBA\xAC",
                                        "Bretagne", "S\xC3\xA3o Paulo"};
  const size_t year = 2000 + k / 372, day = k % 372;
  return {Format("%zu", year),
          Format("%zu-%02zu-%02zu ", year, day / 31 + 1, day % 31 + 1) + kPlaces[k % 5]};
}
std::string PhotosFile(size_t leaf, size_t i) {
  return Format(i % 6 == 5 ? "IMG_%05zu.MOV" : "IMG_%05zu.HEIC",
                (leaf * kFilesPerFolder + i) % 100000);
}

std::vector<std::string> DocumentsLeaf(size_t k) {
  static const char* const kKinds[] = {"Rechnungen", "Vertr\xC3\xA4ge", "Steuern",
                                       "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
                                       "R\xC3\xA9sum\xC3\xA9s"};
  return {kKinds[k % 5], Format("%04zu", k / 5 + 1)};
}
std::string DocumentsFile(size_t leaf, size_t i) {
  static const char* const kNames[] = {"Dokument %zu.pdf", "R\xC3\xA9sum\xC3\xA9 %zu.docx",
                                       "\xE3\x83\xA1\xE3\x83\xA2 %zu.txt"};
  return Format(kNames[i % 3], leaf * 100 + i);
}

// Entries of one tree, area after area, folders before their contents.
class Tree {
 public:
  explicit Tree(std::vector<kelo_test::FstatRow>* out) : out_(out) {}

  // Appends `budget` entries of `area` below `root`.
  void Fill(const std::string& root, const Area& area, size_t budget, TreeLandmarks* marks) {
    end_ = out_->size() + budget;
    const std::string top = root + "/" + area.name;
    Add(top, kFolder, kSynced);
    for (size_t leaf = 0; out_->size() < end_; ++leaf) {
      std::string folder = top;
      for (const std::string& name : area.leaf(leaf)) {
        folder += "/" + name;
        if (folders_.insert(folder).second) Add(folder, kFolder, kSynced);
      }
      for (size_t i = 0; i < kFilesPerFolder && out_->size() < end_; ++i) {
        const std::string name = area.file(leaf, i);
        // Office lock files and aliases are what a server refuses.
        const bool unsupported = ++files_ % 211 == 0;
        Add(folder + "/" + (unsupported ? "~$" + name : name), kFile,
            unsupported ? FileStatusDB::kUnsupported : kSynced);
        if (files_ % 331 == 0 && AsciiUpper(name) != name) {
          // The same file recorded again after a rename that changed only ASCII case.
          Add(folder + "/" + AsciiUpper(name), kFile, kSynced);
          if (marks->case_variant.empty()) marks->case_variant = folder + "/" + name;
        }
      }
    }
  }

 private:
  void Add(const std::string& path, int type, int state) {
    if (out_->size() < end_) out_->push_back({path, type, state});
  }

  std::vector<kelo_test::FstatRow>* out_;
  size_t end_ = 0;                           // where the area being filled ends
  std::unordered_set<std::string> folders_;  // recorded already; a folder is recorded once
  size_t files_ = 0;
};

}  // namespace

std::vector<kelo_test::FstatRow> GenerateTree(const std::string& root, size_t count,
                                              TreeLandmarks* marks) {
  constexpr size_t kInboxFiles = 9;
  constexpr size_t kInboxSyncing = 4;
  *marks = TreeLandmarks();
  std::vector<kelo_test::FstatRow> entries;
  if (count < 100) return entries;
  entries.reserve(count);
  entries.push_back({root, kFolder, kSynced});
  marks->root = root;
  marks->big_folder = root + "/Archive";
  const size_t archive = count / 2;
  const size_t rest = count - 1 - archive - (1 + kInboxFiles);
  Tree tree(&entries);
  tree.Fill(root, {"Archive", ArchiveLeaf, ArchiveFile}, archive, marks);
  const size_t projects_start = entries.size();
  tree.Fill(root, {"Projects", ProjectsLeaf, ProjectsFile}, rest / 3, marks);
  // A file of the middle of "Projects": its name is the first kind, with an umlaut.
  for (size_t i = projects_start + (entries.size() - projects_start) / 2; i < entries.size(); ++i) {
    if (entries[i].fileType == kFile && entries[i].path.find("Entwurf ") != std::string::npos &&
        entries[i].syncStatus == kSynced) {
      marks->file = entries[i].path;
      marks->folder = marks->file.substr(0, marks->file.rfind('/'));
      break;
    }
  }
  tree.Fill(root, {"Photos", PhotosLeaf, PhotosFile}, rest / 3, marks);
  tree.Fill(root, {"Documents", DocumentsLeaf, DocumentsFile}, rest - 2 * (rest / 3), marks);

  // New arrivals, the last of them still uploading: the root folder shows syncing.
  const std::string inbox = root + "/Inbox";
  entries.push_back({inbox, kFolder, kSynced});
  for (size_t i = 0; i < kInboxFiles; ++i) {
    entries.push_back({inbox + Format("/Scan %zu.pdf", i + 1), kFile,
                       i + kInboxSyncing >= kInboxFiles ? FileStatusDB::kSyncing : kSynced});
  }
  return entries;
}

}  // namespace kelo_bench
