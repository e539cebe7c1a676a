// A model run of the main window: random adds, cuts, clears, deletions, reorientations,
// renames, sorts, undos and redos on folder and catalogue displays of real files, each step
// checked against a reference of the files, the display, the catalogue and the shadow.
#include <dirent.h>

#include <map>
#include <random>
#include <set>

#include "app/records/precfile.h"
#include "app/export/ptrader.h"
#include "db/test_nowaitfs.h"
#include "maintest.h"

namespace {

// What a record is to the reference: its file and its turn (rotation, flip).
struct Item {
  std::string file;
  long rot = 0, flip = 0;
  bool operator==(const Item& o) const { return file == o.file && rot == o.rot && flip == o.flip; }
  friend std::ostream& operator<<(std::ostream& os, const Item& it) {
    return os << it.file << " " << it.rot << "/" << it.flip;
  }
};
// Records by their identity (the file's length, unique here).
using Store = std::map<long, Item>;

long Id(const DBRecord& r) {
  long n = -1;
  PDBgetInt(r, PDBFnbytes, &n);
  return n;
}

Item ItemOf(const DBRecord& r) {
  Item it;
  const char* f = PDBgetString(r, PDBFfile);
  it.file = f ? f : "";
  PDBgetInt(r, PDBForient, &it.rot);
  PDBgetInt(r, PDBFflip, &it.flip);
  return it;
}

std::map<std::pair<std::string, long>, Item> Shadows(DBAccess* db) {
  std::map<std::pair<std::string, long>, Item> s;
  db->ForEachRecord(
      [](const DBRecord& r, void* data) {
        const Item it = ItemOf(r);
        (*static_cast<std::map<std::pair<std::string, long>, Item>*>(data))[{it.file, Id(r)}] = it;
        return 0;
      },
      &s, nullptr);
  return s;
}

Store Read(DBAccess* db) {
  Store s;
  db->ForEachRecord(
      [](const DBRecord& r, void* data) {
        (*static_cast<Store*>(data))[Id(r)] = ItemOf(r);
        return 0;
      },
      &s, nullptr);
  return s;
}

// The turn a command gives, worked out on its own.
void Turn(Item* it, const std::string& cmd) {
  long rot = it->rot, flip = it->flip;
  rot = ((rot % 360) + 360) % 360;
  if (rot >= 180) rot -= 360;
  if (cmd == "cw90" || cmd == "cc90") {
    rot += cmd == "cw90" ? 90 : -90;
    if (flip == 1 || flip == 2) flip = 3 - flip;
  } else if (cmd == "c180") {
    rot += 180;
  } else {
    flip ^= cmd == "flhz" ? 1 : 2;
  }
  if (flip == 3) {
    rot += 180;
    flip = 0;
  }
  it->rot = rot;
  it->flip = flip;
}

class MainModel : public MainTest {
 protected:
  void SetUp() override {
    MainTest::SetUp();
    folder = Path("pics");
    mkdir(folder.c_str(), 0755);
    SwapHook(&PAppHooks::checkRecords, [](bool, PContext*) { return PCheckResult{}; });
    mw->SetThumbSize(0, false);  // the table: no thumbnails made of the stand-in files
    bc->fileSystem = &disk;       // what is kept is looked at, not how durably
    ASSERT_TRUE(bc->ShadowDB(Path("shadow.qdb").c_str()));
    ASSERT_TRUE(mw->OpenCatalog(Path("cat.qdb").c_str()));
    for (long id = 1; id <= 24; ++id) {
      const std::string name = "f" + std::to_string(100 + id) + ".jpg";
      ctxtest::WriteFile(folder + "/" + name, std::string(static_cast<size_t>(id), 'x'));
      files[name] = id;
    }
  }
  void TearDown() override {
    SwapHook(&PAppHooks::checkRecords, checkRecords);
    bc->ShadowDB(nullptr);
    MainTest::TearDown();
    bc->fileSystem = nullptr;
  }

  std::set<std::string> OnDisk() const {
    std::set<std::string> s;
    DIR* d = opendir(folder.c_str());
    while (struct dirent* e = d ? readdir(d) : nullptr)
      if (e->d_name[0] != '.') s.insert(e->d_name);
    if (d) closedir(d);
    return s;
  }
  // The folder's files shown, as a folder load leaves them.
  void LoadFolder() {
    ASSERT_TRUE(mw->LoadingRecords(nullptr));
    for (const auto& f : files)
      ctxtest::Show(
          bc, ctxtest::Photo(f.first.c_str(), f.second, f.second * 7, "Quay", folder.c_str()));
    snprintf(bc->rsrc, sizeof bc->rsrc, "%s", folder.c_str());
    mw->LoadedRecords(static_cast<int>(files.size()));
    shown.clear();
    for (const auto& f : files) {
      Item it{f.first};
      auto c = cat.find(f.second);
      auto s = shadow.find({f.first, f.second});
      if (c != cat.end()) {
        it = c->second;
        shadow.erase({f.first, f.second});  // a catalogued record needs no shadow
      } else if (s != shadow.end())
        it = s->second;
      shown[f.second] = it;
    }
  }
  // The catalogue's records shown.
  void LoadCatalogue() {
    ASSERT_TRUE(mw->LoadingRecords(nullptr));
    std::vector<DBRecord> recs;
    bc->pdb.ForEachRecord(
        [](const DBRecord& r, void* data) {
          static_cast<std::vector<DBRecord>*>(data)->push_back(r);
          return 0;
        },
        &recs, nullptr);
    for (const DBRecord& r : recs) ctxtest::Show(bc, r);
    snprintf(bc->rsrc, sizeof bc->rsrc, "*DB");
    mw->LoadedRecords(-1);
    shown = cat;
  }
  std::vector<long> Selected() const {
    std::vector<long> v;
    for (int i = 0; bc->NextSelected(&i); ++i) v.push_back(Id(bc->rdisp.Get(i)));
    return v;
  }
  void Check(int step, const std::string& op) {
    SCOPED_TRACE("step " + std::to_string(step) + " " + op);
    std::set<std::string> names;
    for (const auto& f : files) names.insert(f.first);
    ASSERT_EQ(OnDisk(), names);
    Store disp;
    for (int i = 0; i < bc->rdisp.GetSize(); ++i)
      disp[Id(bc->rdisp.Get(i))] = ItemOf(bc->rdisp.Get(i));
    ASSERT_EQ(disp.size(), static_cast<size_t>(bc->rdisp.GetSize()));
    ASSERT_EQ(disp, shown);
    ASSERT_EQ(Read(&bc->pdb), cat);
    ASSERT_EQ(Shadows(&bc->ShadowStore()), shadow);
    for (const auto& f : files) ASSERT_EQ(access((folder + "/" + f.first).c_str(), F_OK), 0);
  }

  std::string folder;
  std::map<std::string, long> files;  // name -> identity
  Store shown, cat;
  // Shadows by file name and identity: a file's name is part of what finds its shadow, so a
  // rename moves the renamed files' shadows to their new names.
  std::map<std::pair<std::string, long>, Item> shadow;
  std::vector<Store> undos, redos;
  dbtest::NoWaitFS disk;
};

TEST_F(MainModel, RandomOperationsKeepFilesDisplayCatalogueAndShadow) {
  std::mt19937 rng(36);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  Answerer ans;
  LoadFolder();
  int renames = 0;
  const char* turns[] = {"cw90", "cc90", "c180", "flhz", "flvt"};
  const char* sorts[] = {"sman", "sfil", "sdat", "ssub", "stit"};
  for (int step = 0; step < 2000; ++step) {
    dmessage_last_class = DMCnerr;  // every step as a command: no earlier problem blinks
    if (files.size() < 6) {         // fresh files when most are gone
      for (long id = 100 + step; files.size() < 24; ++id) {
        const std::string name = "n" + std::to_string(id) + ".jpg";
        ctxtest::WriteFile(folder + "/" + name, std::string(static_cast<size_t>(id), 'y'));
        files[name] = id;
      }
    }
    const int nd = bc->rdisp.GetSize();
    bc->SelectNone();
    for (int i = 0; i < nd; ++i)
      if (pick(3) == 0) bc->Select(i, true);
    const std::vector<long> sel = Selected();
    const bool fromDB = strcmp(bc->rsrc, "*DB") == 0;
    std::string op;
    switch (pick(12)) {
      case 0:
        op = "load folder";
        LoadFolder();
        break;
      case 1:
        op = "load catalogue";
        LoadCatalogue();
        break;
      case 2: {
        op = "add";
        if (mw->AddRecords() > 0) {
          undos.push_back(cat);
          redos.clear();
          std::vector<long> added = sel;
          if (sel.empty())
            for (const auto& s : shown) added.push_back(s.first);
          for (long id : added) {
            cat[id] = shown[id];
            shadow.erase({shown[id].file, id});  // catalogued now
          }
        }
        break;
      }
      case 3:
      case 4: {
        const char* codes[] = {"cut ", "clea", "dele"};
        const std::string code = codes[pick(3)];
        op = code;
        if (sel.empty()) break;
        if (code == "dele") ans.Press(kResponseOK);
        const Store before = cat;
        MainCommand(mw, code.c_str());
        bool catChange = false;
        for (long id : sel) {
          if (code == "dele") {
            files.erase(shown[id].file);
            catChange |= cat.erase(id) > 0;
            shadow.erase({shown[id].file, id});
          } else if (code == "cut " && fromDB) {
            shadow[{shown[id].file, id}] = shown[id];
            catChange |= cat.erase(id) > 0;
          } else if (code == "cut ") {
            shadow.erase({shown[id].file, id});
          }
          shown.erase(id);
        }
        if (code == "dele") {
          undos.clear();
          redos.clear();
        } else if (catChange) {
          undos.push_back(before);
          redos.clear();
        }
        break;
      }
      case 5:
      case 6: {
        const std::string code = turns[pick(5)];
        op = "turn " + code;
        if (sel.empty()) break;
        const Store before = cat;
        bool catalogued = false;
        for (long id : sel) {
          Turn(&shown[id], code);
          if (cat.count(id)) {
            cat[id] = shown[id];
            catalogued = true;
          } else {
            shadow[{shown[id].file, id}] = shown[id];
          }
        }
        MainCommand(mw, code.c_str());
        if (catalogued) {
          undos.push_back(before);
          redos.clear();
        } else {
          undos.clear();
          redos.clear();
        }
        break;
      }
      case 7: {
        op = "rename";
        if (sel.size() < 2 || fromDB) break;
        ans.Type("base");
        MainCommand(mw, "renm");
        int counter = 0;
        for (long id : sel) {
          std::string name;
          do {
            char nm[32];
            snprintf(nm, sizeof nm, "base%03d.jpg", ++counter);
            name = nm;
          } while (files.count(name));
          files.erase(shown[id].file);
          shadow.erase({shown[id].file, id});
          files[name] = id;
          shown[id].file = name;
          if (cat.count(id))
            cat[id].file = name;
          else
            shadow[{name, id}] = shown[id];
        }
        undos.clear();
        redos.clear();
        ++renames;
        break;
      }
      case 8:
      case 9: {
        const std::string code = sorts[pick(5)];
        op = "sort " + code;
        MainCommand(mw, code.c_str());
        for (int i = 1; code == "sfil" && i < bc->rdisp.GetSize(); ++i)
          ASSERT_LE(strcmp(PDBgetString(bc->rdisp.Get(i - 1), PDBFfile),
                           PDBgetString(bc->rdisp.Get(i), PDBFfile)),
                    0);
        break;
      }
      case 10: {
        op = "undo";
        const bool did = mw->Undo();
        ASSERT_EQ(did, !undos.empty()) << op << " at " << step;
        if (did) {
          redos.push_back(cat);
          cat = undos.back();
          undos.pop_back();
        }
        break;
      }
      default: {
        op = "redo";
        const bool did = mw->Redo();
        ASSERT_EQ(did, !redos.empty()) << op << " at " << step;
        if (did) {
          undos.push_back(cat);
          cat = redos.back();
          redos.pop_back();
        }
        break;
      }
    }
    if (op == "undo" || op == "redo") {
      // The step brings back the display it saved: the records shown are read back, and each
      // catalogued one must be the catalogue's.
      shown.clear();
      for (int i = 0; i < bc->rdisp.GetSize(); ++i) {
        const long id = Id(bc->rdisp.Get(i));
        shown[id] = ItemOf(bc->rdisp.Get(i));
        if (bc->GetDBOrig(i) != nullptr) {
          ASSERT_EQ(ItemOf(*bc->GetDBOrig(i)), cat[id]);
        }
      }
    }
    if (getenv("MODEL_TRACE")) {
      printf("%d %s src=%s sel:", step, op.c_str(), fromDB ? "DB" : "dir");
      for (long id : sel) printf(" %ld", id);
      printf("\n");
    }
    ASSERT_TRUE(ans.q.empty()) << "unasked answer at step " << step << " " << op;
    Check(step, op);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(renames, 20);
  EXPECT_FALSE(PisBusy());
}

}  // namespace
