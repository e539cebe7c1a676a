// The photo-like records of the database benchmarks: a schema of 45 fields, one photo's
// values, the record built from them and (with SQLite) the same values bound to a row.
#pragma once

#include <cstdio>
#include <string>

#include "db/dbase.h"

#ifdef LUMERIN_HAVE_SQLITE
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#endif

namespace benchdb {

struct FieldDef {
  const char* name;
  DBDataType type;
  int flags;
};

// A photo-like schema: name, size and content hash are the hash keys.
inline const FieldDef kFields[45] = {
    {"File", DBDTstring, 0x1900},   {"Location", DBDTstring, 0x801},
    {"NBytes", DBDTint, 0x1800},    {"HashVal", DBDTint, 0x1A00},
    {"Format", DBDTstring, 0},      {"ModTime", DBDTint, 0x200},
    {"CapDate", DBDTstring, 0x100}, {"GMTdate", DBDTstring, 0},
    {"Latitude", DBDTfloat, 0x400}, {"Longitude", DBDTfloat, 0x400},
    {"Altitude", DBDTfloat, 0x400}, {"Bearing", DBDTfloat, 0x400},
    {"Subject", DBDTstring, 0xD00}, {"Title", DBDTstring, 0x500},
    {"Owner", DBDTstring, 0x400},   {"History", DBDTstring, 0x1},
    {"Album", DBDTstring, 0x501},   {"Position", DBDTint, 0x601},
    {"Caption", DBDTstring, 0x401}, {"Keyword", DBDTstring, 0x501},
    {"Comment", DBDTstring, 0x501}, {"Source", DBDTint, 0},
    {"Make", DBDTstring, 0},        {"Model", DBDTstring, 0},
    {"Version", DBDTstring, 0},     {"Quality", DBDTint, 0},
    {"Crop", DBDTint, 0x601},       {"Orient", DBDTint, 0x600},
    {"Flip", DBDTint, 0x600},       {"RedEye", DBDTint, 0x601},
    {"SpotExp", DBDTint, 0x601},    {"XSize", DBDTint, 0x800},
    {"YSize", DBDTint, 0x800},      {"XDensity", DBDTfloat, 0},
    {"YDensity", DBDTfloat, 0},     {"XAngle", DBDTfloat, 0},
    {"YAngle", DBDTfloat, 0},       {"View", DBDTstring, 0},
    {"StoNits", DBDTfloat, 0x200},  {"ExpTime", DBDTfloat, 0},
    {"Aperture", DBDTfloat, 0},     {"ASA", DBDTfloat, 0},
    {"Flash", DBDTint, 0},          {"WhiteBal", DBDTint, 0},
    {"Focus", DBDTfloat, 0},
};

// One photo's values, from which both stores are filled.
struct Photo {
  std::string file, location, capdate, subject, keywords[3], make, model, album;
  int nkeywords;
  int nbytes, hash, modtime, xsize, ysize, orient, flash, quality;
  int crop[4];
  float lat, lon, alt, exptime, aperture, asa, focus;
};

// The xorshift numbers of photo i, the same on every run.
class Numbers {
 public:
  explicit Numbers(int i) : x_(static_cast<uint32_t>(i) * 2654435761u ^ 0x5bd1e995u) { (*this)(); }
  uint32_t operator()() {
    x_ ^= x_ << 13;
    x_ ^= x_ >> 17;
    x_ ^= x_ << 5;
    return x_;
  }

 private:
  uint32_t x_;
};

// Photo i of a catalogue, the same whatever the size.
inline Photo MakePhoto(int i) {
  static const char* const kw[8] = {"beach", "family", "sunset", "mountain",
                                    "city",  "snow",   "garden", "party"};
  static const char* const makes[3] = {"Canon", "NIKON CORPORATION", "Panasonic"};
  static const char* const models[3] = {"Canon EOS 5D", "NIKON D200", "DMC-FZ30"};
  Numbers rnd(i);
  Photo p;
  char buf[96];
  snprintf(buf, sizeof(buf), "IMG_%07d.JPG", i);
  p.file = buf;
  snprintf(buf, sizeof(buf), "/home/ann/Pictures/%04d/%02d", 2000 + i / 50000, 1 + (i / 4000) % 12);
  p.location = buf;
  snprintf(buf, sizeof(buf), "%04d:%02d:%02d %02d:%02d:%02d", 2000 + i / 50000, 1 + (i / 4000) % 12,
           1 + (i / 30) % 28, (i / 7) % 24, i % 60, (i * 7) % 60);
  p.capdate = buf;
  p.subject = (i / 50) % 5 ? "Travel" : "Home";
  p.nkeywords = 1 + i % 3;
  for (int k = 0; k < 3; k++) p.keywords[k] = kw[(i + 3 * k) % 8];
  p.make = makes[i % 3];
  p.model = models[i % 3];
  p.album = i % 10 ? "" : "Best of";
  p.nbytes = 500000 + static_cast<int>(rnd() % 8000000);
  p.hash = static_cast<int>(rnd() & 0x7FFFFFFF);
  p.modtime = 1100000000 + i * 60;
  p.xsize = i % 2 ? 3008 : 2000;
  p.ysize = i % 2 ? 2000 : 3008;
  p.orient = (i % 4) * 90;
  p.flash = i % 2;
  p.quality = 90;
  p.crop[0] = i % 100;
  p.crop[1] = 3008 - i % 100;
  p.crop[2] = 20;
  p.crop[3] = 1980;
  p.lat = 30.0f + static_cast<float>(rnd() % 20000) / 1000.0f;
  p.lon = -120.0f + static_cast<float>(rnd() % 20000) / 1000.0f;
  p.alt = static_cast<float>(rnd() % 3000);
  p.exptime = 1.0f / static_cast<float>(30 + rnd() % 1000);
  p.aperture = 2.8f + static_cast<float>(rnd() % 8);
  p.asa = 100.0f * static_cast<float>(1 + rnd() % 8);
  p.focus = static_cast<float>(rnd() % 100) / 10.0f;
  return p;
}

inline const DBFieldInfo& Schema() {
  static DBFieldInfo s = [] {
    DBFieldInfo f;
    for (const FieldDef& d : kFields) f.Field(d.name, d.type, d.name, d.flags);
    f.sord.AddSort(0);
    return f;
  }();
  return s;
}

inline int FieldID(const char* name) {
  return Schema().GetID(name);
}

inline void FillRecord(DBRecord* r, const Photo& p, const DBFieldInfo* s) {
  r->Init(s);
  r->SetField(0, p.file.c_str());
  const char* loc[1] = {p.location.c_str()};
  r->SetField(1, loc, 1);
  r->SetField(2, static_cast<long>(p.nbytes));
  r->SetField(3, static_cast<long>(p.hash));
  r->SetField(4, "JPEG");
  r->SetField(5, static_cast<long>(p.modtime));
  r->SetField(6, p.capdate.c_str());
  r->SetField(8, p.lat);
  r->SetField(9, p.lon);
  r->SetField(10, p.alt);
  r->SetField(12, p.subject.c_str());
  r->SetField(14, "Ann");
  if (!p.album.empty()) {
    const char* al[1] = {p.album.c_str()};
    r->SetField(16, al, 1);
  }
  const char* kw[3] = {p.keywords[0].c_str(), p.keywords[1].c_str(), p.keywords[2].c_str()};
  r->SetField(19, kw, p.nkeywords);
  r->SetField(21, 1L);
  r->SetField(22, p.make.c_str());
  r->SetField(23, p.model.c_str());
  r->SetField(25, static_cast<long>(p.quality));
  long crop[4] = {p.crop[0], p.crop[1], p.crop[2], p.crop[3]};
  r->SetField(26, crop, 4);
  r->SetField(27, static_cast<long>(p.orient));
  r->SetField(31, static_cast<long>(p.xsize));
  r->SetField(32, static_cast<long>(p.ysize));
  r->SetField(33, 240.0f);
  r->SetField(34, 240.0f);
  r->SetField(39, p.exptime);
  r->SetField(40, p.aperture);
  r->SetField(41, p.asa);
  r->SetField(42, static_cast<long>(p.flash));
  r->SetField(44, p.focus);
}

#ifdef LUMERIN_HAVE_SQLITE
// The statement that creates the photos table, its columns in schema order, indexed on size
// and hash.
inline std::string CreateTableSQL() {
  std::string sql = "CREATE TABLE photos (";
  for (int i = 0; i < 45; i++) {
    if (i) sql += ", ";
    sql += kFields[i].name;
    sql += kFields[i].type == DBDTint     ? " INTEGER"
           : kFields[i].type == DBDTfloat ? " REAL"
                                          : " TEXT";
  }
  sql += "); CREATE INDEX photo_id ON photos (NBytes, HashVal);";
  return sql;
}

// Binds photo p to the 45 parameters of an insert (the keywords joined by commas).
inline void BindPhoto(sqlite3_stmt* st, const Photo& p) {
  sqlite3_bind_text(st, 1, p.file.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 2, p.location.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_int(st, 3, p.nbytes);
  sqlite3_bind_int(st, 4, p.hash);
  sqlite3_bind_text(st, 5, "JPEG", -1, SQLITE_STATIC);
  sqlite3_bind_int(st, 6, p.modtime);
  sqlite3_bind_text(st, 7, p.capdate.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_double(st, 9, p.lat);
  sqlite3_bind_double(st, 10, p.lon);
  sqlite3_bind_double(st, 11, p.alt);
  sqlite3_bind_text(st, 13, p.subject.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 15, "Ann", -1, SQLITE_STATIC);
  if (!p.album.empty()) sqlite3_bind_text(st, 17, p.album.c_str(), -1, SQLITE_STATIC);
  std::string kw = p.keywords[0];
  for (int k = 1; k < p.nkeywords; k++) kw += "," + p.keywords[k];
  sqlite3_bind_text(st, 20, kw.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(st, 22, 1);
  sqlite3_bind_text(st, 23, p.make.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 24, p.model.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_int(st, 26, p.quality);
  sqlite3_bind_blob(st, 27, p.crop, sizeof(p.crop), SQLITE_STATIC);
  sqlite3_bind_int(st, 28, p.orient);
  sqlite3_bind_int(st, 32, p.xsize);
  sqlite3_bind_int(st, 33, p.ysize);
  sqlite3_bind_double(st, 34, 240.0);
  sqlite3_bind_double(st, 35, 240.0);
  sqlite3_bind_double(st, 40, p.exptime);
  sqlite3_bind_double(st, 41, p.aperture);
  sqlite3_bind_double(st, 42, p.asa);
  sqlite3_bind_int(st, 43, p.flash);
  sqlite3_bind_double(st, 45, p.focus);
}

// Inserts photos [from, from + n) into the photos table in one transaction; false when the
// commit failed.
inline bool InsertPhotos(sqlite3* db, int from, int n) {
  std::string sql = "INSERT INTO photos VALUES (?";
  for (int i = 1; i < 45; i++) sql += ",?";
  sql += ")";
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
  for (int i = from; i < from + n; i++) {
    BindPhoto(st, MakePhoto(i));
    sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
  }
  sqlite3_finalize(st);
  return sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
}

// The table file at path of photos [0, n), made when it is not there yet (its folder too); path.
inline std::string Table(const std::string& path, int n) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return path;
  mkdir(path.substr(0, path.rfind('/')).c_str(), 0755);
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, CreateTableSQL().c_str(), nullptr, nullptr, nullptr);
  InsertPhotos(db, 0, n);
  sqlite3_close(db);
  return path;
}

// A fresh copy at path of the table file base, open.
inline sqlite3* OpenCopy(const std::string& base, const std::string& path) {
  unlink(path.c_str());
  {
    std::ifstream in(base, std::ios::binary);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
  }
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  return db;
}

// Runs the range query over latitude and modification time on the photos table, calling
// row(st) for every matching row per iteration; returns the matches of the last iteration.
template <class Row>
int TimeRangeQuery(benchmark::State& state, sqlite3* db, float latLo, float latHi, int timeLo,
                   int timeHi, Row row) {
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT * FROM photos WHERE Latitude BETWEEN ? AND ? AND ModTime BETWEEN ? "
                     "AND ?",
                     -1, &st, nullptr);
  int found = 0;
  for (auto _ : state) {
    sqlite3_bind_double(st, 1, latLo);
    sqlite3_bind_double(st, 2, latHi);
    sqlite3_bind_int(st, 3, timeLo);
    sqlite3_bind_int(st, 4, timeHi);
    found = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
      row(st);
      found++;
    }
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  return found;
}
#endif  // LUMERIN_HAVE_SQLITE

}  // namespace benchdb
