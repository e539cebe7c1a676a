// The web album: an HTML page with a folder "img" beside it holding a small picture of every
// record, optionally a larger linked one or the source file itself, and a caption block per
// picture. Every text on the page is valid UTF-8 escaped for HTML, and every link the
// percent-encoded bytes of its file's name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <locale>
#include <sstream>
#include <string>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pcmds.h"
#include "app/core/pdialogs.h"
#include "app/core/pfiles.h"
#include "app/core/pslice.h"
#include "app/export/pexpriv.h"
#include "app/export/pforms.h"
#include "app/export/psafefile.h"
#include "app/export/ptrader.h"
#include "catalog/pcontext.h"
#include "catalog/pdbformat.h"
#include "catalog/pfileinfo.h"
#include "display/pdispimg.h"
#include "formats/jpegio.h"
#include "platform/pcontrol.h"
#include "support/bytetext.h"
#include "support/cnumber.h"
#include "support/futil.h"
#include "support/pstrings.h"
#include "support/replacefile.h"

int MaxLSize = 0;

namespace {

// Text for HTML content and attribute values: valid UTF-8 whatever bytes a name or field
// holds (support/bytetext.h), with HTML's own characters escaped.
std::string Esc(const char* text) {
  std::string out;
  if (text == nullptr) return out;
  const std::string shown = ShownText(text);
  for (const char* s = shown.c_str(); *s; ++s) switch (*s) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += *s;
    }
  return out;
}

// A file name of the image folder as a link relative to the page: "img/" and the name's bytes,
// percent-encoded.
std::string Link(const std::string& name) {
  return "img/" + PercentEncoded(name, false);
}

const char* Str(const DBRecord& r, PDBFieldID f, int i = 0) {
  const DBField& fd = PDBgetField(r, f);
  return fd.GetNV() > i ? fd.GetString(i) : nullptr;
}

// The stream's default formatting of a value, the same whatever the user's locale. The
// catalogue's header gives the field its type: a value it declares as text is escaped as every
// text is.
std::string Num(const DBField& f, int i = 0) {
  if (f.GetDT() != DBDTfloat) return Esc(f.GetString(i));
  std::ostringstream os;
  os.imbue(std::locale::classic());
  os << f.GetFloat(i);
  return os.str();
}

bool Set(const DBRecord& r, PDBFieldID f) {
  return PDBgetField(r, f).GetNV() > 0;
}

// The record's File without its suffix, at most 127 bytes, never a path.
std::string Base(const DBRecord& rec) {
  const char* file = Str(rec, PDBFfile);
  if (file == nullptr) return std::string();
  file = PgetFilename(file);
  size_t n = std::strlen(file);
  if (const char* dot = PgetSuffix(file)) n = static_cast<size_t>(dot - 1 - file);
  return std::string(file, std::min<size_t>(n, 127));
}

// Sets a photo field of a record of any schema to one text.
void SetText(DBRecord* r, PDBFieldID f, const char* text) {
  const DBFieldInfo* fi = r->GetFieldInfo();
  const int id = fi != nullptr ? fi->XlateID(&PDBFInfo, f) : -1;
  if (id >= 0) r->SetField(id, &text, 1);
}

}  // namespace

long myImgRecordHash(const DBRecord& rec) {
  const DBField& hv = PDBgetField(rec, PDBFhashval);
  uint32_t h = hv.GetNV() > 0 ? static_cast<uint32_t>(hv.GetInt(0)) : 0;
  for (PDBFieldID f : {PDBFcrop, PDBForient, PDBFflip, PDBFredeye, PDBFspotexp})
    h ^= PDBgetField(rec, f).Hash(31);
  return static_cast<long>(h);
}

void breakLine(char* s) {
  if (s == nullptr) return;
  char* start = s;
  for (char* p = s; *p; ++p) {
    const char c = *p;
    if (c == '\n') {
      start = p + 1;
    } else if (p - start > 50 && (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v')) {
      *p = '\n';
      start = p + 1;
    }
  }
}

WebAlbumAuthor::WebAlbumAuthor(const char* fn, const char* title)
    : fname(nullptr),
      ofs(nullptr),
      iwidth(300),
      iheight(300),
      lwidth(900),
      lheight(900),
      linkOrig(false),
      saveHDR(false),
      pem(PEMDefault),
      bgRGB{200, 200, 200},
      qual(80),
      infflags(7) {
  imgdir[0] = '\0';
  Open(fn, title);
}

WebAlbumAuthor::~WebAlbumAuthor() {
  Close();
  delete ofs;
}

bool WebAlbumAuthor::Open(const char* fn, const char* title) {
  Close();
  if (fn == nullptr || *fn == '\0') return false;
  const char* slash = std::strrchr(fn, '/');
  const size_t dirlen = slash != nullptr ? static_cast<size_t>(slash + 1 - fn) : 0;
  delete ofs;
  ofs = dirlen + 4 <= sizeof imgdir ? new PSafeFile(fn) : nullptr;
  if (ofs == nullptr || !ofs->IsOpen()) {
    delete ofs;
    ofs = nullptr;
    DMESSAGE(DMCresource, "Cannot open file '%s' for writing", fn);
    return false;
  }
  std::memcpy(imgdir, fn, dirlen);
  std::memcpy(imgdir + dirlen, "img", 4);
  // The folder is the user's to share (a new one gets the umask's mode, not a private one),
  // but it must be the user's own: another user's folder or link there is refused.
  std::string why;
  imgfd = PopenExportFolder(imgdir, &madeDir, &why);
  if (imgfd < 0) {
    delete ofs;
    ofs = nullptr;
    DMESSAGE_ERRNO(DMCresource, DMnoSystemError, "Web page not written: its picture folder '%s' %s",
                   imgdir, why.c_str());
    return false;
  }
  imgat = PfolderThrough(imgfd);
  fname = strlink(fn);
  if (!madeDir) PremoveStaleTemps(imgat.c_str());
  if (title == nullptr) title = "";
  std::ostream& os = ofs->Stream();
  // The page names its encoding: a browser opening it from disk has no other word on it.
  os << "<HTML>\n<HEAD>\n<meta charset=\"utf-8\">\n";
  os << "<!-- Web page created by " << gName << " -->\n";
  if (*title) os << "<TITLE>" << Esc(title) << "</TITLE>\n";
  char bg[8];
  std::snprintf(bg, sizeof bg, "%02X%02X%02X", bgRGB[0], bgRGB[1], bgRGB[2]);
  os << "</HEAD>\n<BODY bgcolor=#" << bg << ">\n";
  if (*title) os << "\n<H1>" << Esc(title) << "</H1>\n";
  linkedRL.Init(nullptr);
  names.clear();
  return true;
}

std::string WebAlbumAuthor::ImageName(const char* base, char kind, unsigned num, const char* suffix,
                                      const std::string& owner) {
  // A name this album already gave another picture gets "-2", "-3" ... before the suffix.
  for (int k = 1;; k++) {
    char tail[48];
    if (k == 1)
      std::snprintf(tail, sizeof tail, "_%c%03X", kind, num);
    else
      std::snprintf(tail, sizeof tail, "_%c%03X-%d", kind, num, k);
    std::string name = std::string(base) + tail;
    if (suffix != nullptr) name += std::string(".") + suffix;
    auto it = names.find(name);
    if (it == names.end()) {
      names.emplace(name, owner);
      return name;
    }
    if (it->second == owner) return name;
  }
}

void WebAlbumAuthor::Unstage(const std::string& path) {
  auto it = staged.find(path);
  if (it == staged.end()) return;
  PdiscardTemp(it->second);
  staged.erase(it);
}

std::string WebAlbumAuthor::Stage(const std::string& path) {
  Unstage(path);
  std::string tmp = PfreeNameBeside(path.c_str());
  if (!tmp.empty()) staged.emplace(path, tmp);
  return tmp;
}

bool WebAlbumAuthor::CommitStaged() {
  bool ok = true;
  for (const auto& s : staged)
    if (ok)
      ok = PrenameTemp(s.second, s.first.c_str()) != 0;
    else
      PdiscardTemp(s.second);
  staged.clear();
  return ok;
}

void WebAlbumAuthor::DropStaged() {
  for (const auto& s : staged) PdiscardTemp(s.second);
  staged.clear();
}

bool WebAlbumAuthor::ImageLink(const DBRecord& rec) {
  if (!Ready() || iwidth < 1 || iheight < 1 || !PnamesFile(rec)) return false;
  // A large picture is read at about the size written, a slice at a time.
  PSliceRead slices(nullptr);
  PImageRing ring(rec, nullptr);
  if (!ring.Ready()) return false;
  ring.SetDisplaySpace(&ICS_sRGB, 32, 100);
  ring.SetExposureMode(pem);
  const int W = std::max(1, ring.ior.GetWidth()), H = std::max(1, ring.ior.GetHeight());

  // The inline picture: the box's width, and its height unless the picture is wider.
  int ih = iheight;
  if (int64_t(iwidth) * H < int64_t(iheight) * W) ih = static_cast<int>(int64_t(iwidth) * H / W);
  ih = std::max(1, std::min(ih, H));
  _ImgStruct img = {};
  img.xres = iwidth;
  img.yres = ih;
  img.csp = &ICS_sRGB;
  ring.SetZoomToFit();
  if (!ring.MapImage(&img, bgRGB, nullptr)) {
    PfreeImage(&img);
    return false;
  }
  _ImgWriteBuf wb = {};
  PsetWriteBuf(&wb, &img);
  wb.info.quality = qual;
  wb.info.flags |= IIFquality;
  char here[1024];
  const std::string base = Base(rec);
  const std::string where = PcurrentFile(here, sizeof here, rec) != nullptr ? here : base;
  const unsigned hnum = static_cast<uint32_t>(myImgRecordHash(rec)) % 4093;
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08X", static_cast<uint32_t>(myImgRecordHash(rec)));
  const std::string picOwner = where + "|" + hex;
  const std::string iname = ImageName(base.c_str(), 'i', hnum, IWInterfaceJPEG.suffix, picOwner);
  const std::string ipath = std::string(imgdir) + "/" + iname, iat = imgat + "/" + iname;
  if (faccessat(imgfd, iname.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0)
    DMESSAGE(DMCwarning, "Overwriting image file '%s'", ipath.c_str());
  const std::string itemp = Stage(iat);
  const long isize = itemp.empty() ? 0 : IWInterfaceJPEG.WriteImage(itemp.c_str(), &wb);
  PfreeImage(&img);
  if (isize <= 0) {
    Unstage(iat);
    DMESSAGE(DMCresource, "Error writing image '%s'", ipath.c_str());
    return false;
  }

  std::string oname;
  if (linkOrig) {
    char src[1024];
    if (PcurrentFile(src, sizeof src, rec) == nullptr) return false;
    const DBField& hv = PDBgetField(rec, PDBFhashval);
    const unsigned snum = (hv.GetNV() > 0 ? static_cast<uint32_t>(hv.GetInt(0)) : 0) % 4093;
    oname = ImageName(base.c_str(), 'o', snum, PgetSuffix(PgetFilename(src)), src);
    const std::string oat = imgat + "/" + oname;
    if (!PsameFile(oat.c_str(), src)) {
      const std::string otemp = Stage(oat);
      if (otemp.empty() || !PlinkOrCopy(otemp.c_str(), src)) {
        Unstage(oat);
        return false;
      }
    }
    if (linkedRL.GetFieldInfo() == nullptr) linkedRL.Init(rec.GetFieldInfo());
    DBRecord& copy = linkedRL.NewRecord();
    copy = rec;
    SetText(&copy, PDBFlocation, imgdir);
    SetText(&copy, PDBFfile, oname.c_str());
  }

  std::ostream& os = ofs->Stream();
  const std::string name = Esc(Str(rec, PDBFfile));
  const std::string alt = Esc(base.c_str());
  auto inlineTag = [&](const char* end) {
    os << "<IMG src=\"" << Link(iname) << "\" alt=\"" << alt << "\" align=\"top\">" << end << "\n";
  };
  auto nameLine = [&] {
    if (linkOrig)
      os << "<A href=\"" << Link(oname) << "\">\n" << name << "</A><BR clear=\"all\">\n";
    else
      os << name << "<BR clear=\"all\">\n";
  };
  os << "\n<P>\n";
  if (lwidth < 0 || lheight < 0) {
    inlineTag("");
    nameLine();
    Info(rec);
    return true;
  }

  // The large picture: within its box, else at full size.
  int lw = W, lh = H;
  if (lwidth > 0 && lheight > 0 && (W > lwidth || H > lheight)) {
    if (H < W) {
      lw = lwidth;
      lh = static_cast<int>(int64_t(lwidth) * H / W);
    } else {
      lh = lheight;
      lw = static_cast<int>(int64_t(lheight) * W / H);
    }
    lw = std::max(1, lw);
    lh = std::max(1, lh);
    ring.SetZoomToFit();
  } else {
    ring.SetZoomRatio(1, 1);
  }
  const char* format = Str(rec, PDBFformat);
  const bool jpegHDR = saveHDR && format != nullptr && std::strncmp(format, "JPEG ", 5) == 0;
  if (linkOrig && ring.MapIsNoop(jpegHDR)) {
    // The source file itself serves as the large picture.
    os << "<A href=\"" << Link(oname) << "\">\n";
    inlineTag("");
    os << name << "</A><BR clear=\"all\">\n";
    Info(rec);
    return true;
  }
  img = _ImgStruct{};
  wb = _ImgWriteBuf{};
  if (!(saveHDR && ring.IsHDR() && loadHDRImage(ring, &img, lwidth, lheight, &wb, 0))) {
    img = _ImgStruct{};
    img.xres = lw;
    img.yres = lh;
    img.csp = &ICS_sRGB;
    if (!ring.MapImage(&img, nullptr, nullptr)) {
      PfreeImage(&img);
      return false;
    }
    PsetWriteBuf(&wb, &img);
  }
  ring.CloseImage(false);
  const std::string lname = ImageName(base.c_str(), 'l', hnum, IWInterfaceJPEG.suffix, picOwner);
  const std::string lpath = std::string(imgdir) + "/" + lname, lat = imgat + "/" + lname;
  if (faccessat(imgfd, lname.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0)
    DMESSAGE(DMCwarning, "Overwriting image file '%s'", lpath.c_str());
  wb.info.quality = qual;
  wb.info.flags |= IIFquality;
  const std::string ltemp = Stage(lat);
  const long lsize = ltemp.empty() ? 0 : IWInterfaceJPEG.WriteImage(ltemp.c_str(), &wb);
  PfreeImage(&img);
  if (lsize <= 0) {
    Unstage(lat);
    DMESSAGE(DMCresource, "Error writing image file '%s'", lpath.c_str());
    return false;
  }
  os << "<A href=\"" << Link(lname) << "\">\n";
  inlineTag("</A>");
  nameLine();
  Info(rec);
  os << "</P>";
  return true;
}

void WebAlbumAuthor::Info(const DBRecord& rec) {
  std::ostream& os = ofs->Stream();
  static char buf[8192];
  auto date = [&](PDBFieldID f) -> const char* {
    return Set(rec, f) ? PDBformatDate(buf, sizeof buf, PDBgetField(rec, f)) : nullptr;
  };
  if ((infflags & 0x0001) && Set(rec, PDBFtitle))
    os << "<b>" << Esc(Str(rec, PDBFtitle)) << "</b><br>\n";
  if ((infflags & 0x0004) && gMain != nullptr &&
      gMain->GetCaption(buf, sizeof buf, &rec) != nullptr && buf[0] != '\0') {
    breakLine(buf);
    os << Esc(buf) << "<br>\n";
  }
  if (infflags & 0x0002)
    if (const char* d = date(PDBFcapdate)) os << "<i>Captured</i> " << Esc(d) << "<br>\n";
  if ((infflags & 0x0008) && Set(rec, PDBFsubject))
    os << "<i>Subject</i> " << Esc(Str(rec, PDBFsubject)) << "<br>\n";
  if ((infflags & 0x0010) && Set(rec, PDBFowner))
    os << "<i>Owner</i> " << Esc(Str(rec, PDBFowner)) << "<br>\n";
  if ((infflags & 0x0020) && Set(rec, PDBFkeyword)) {
    const DBField& k = PDBgetField(rec, PDBFkeyword);
    os << "<i>Keywords</i> ";
    for (int i = 0; i < k.GetNV() && i < 32; i++) os << (i ? ", " : "") << Esc(k.GetString(i));
    os << "<br>\n";
  }
  if ((infflags & 0x0040) && Set(rec, PDBFcomment)) {
    const DBField& c = PDBgetField(rec, PDBFcomment);
    for (int i = 0; i < c.GetNV() && i < 32; i++) {
      std::snprintf(buf, sizeof buf, "%s", c.GetString(i));
      breakLine(buf);
      os << "<i>Comment</i> " << Esc(buf) << "<br>\n";
    }
  }
  if ((infflags & 0x0080) && Set(rec, PDBFxsize) && Set(rec, PDBFysize))
    os << "<i>Size</i> " << Num(PDBgetField(rec, PDBFxsize)) << 'x'
       << Num(PDBgetField(rec, PDBFysize)) << " pixels<br>\n";
  if ((infflags & 0x0100) && Set(rec, PDBFformat))
    os << "<i>Format</i> " << Esc(Str(rec, PDBFformat)) << "<br>\n";
  if ((infflags & 0x0200) && Set(rec, PDBFnbytes))
    os << "<i>Length</i> " << Num(PDBgetField(rec, PDBFnbytes)) << " bytes<br>\n";
  if ((infflags & 0x0400) && Set(rec, PDBFmake) && Set(rec, PDBFmodel))
    os << "<i>Source</i> " << Esc(Str(rec, PDBFmake)) << ' ' << Esc(Str(rec, PDBFmodel))
       << "<br>\n";
  if ((infflags & 0x0800) && Set(rec, PDBFexptime) && Set(rec, PDBFaperture)) {
    char t[32];
    os << "<i>Exposure</i> ";
    if (PDBformatExposure(t, 12, PDBgetField(rec, PDBFexptime))) os << Esc(t);
    os << " @ ";
    if (PDBformatAperture(t, 8, PDBgetField(rec, PDBFaperture))) os << Esc(t);
    if (Set(rec, PDBFasa)) os << ", ASA " << Num(PDBgetField(rec, PDBFasa));
    if (Set(rec, PDBFflash) && PDBformatFlash(t, 10, PDBgetField(rec, PDBFflash)))
      os << ", Flash " << Esc(t);
    if (Set(rec, PDBFwhitebal) && PDBformatWhiteBal(t, 16, PDBgetField(rec, PDBFwhitebal)))
      os << ", White balance " << Esc(t);
    os << "<br>\n";
  }
  if (infflags & 0x1000) {
    if (const char* d = date(PDBFgmtdate)) os << "<i>GMT</i> " << Esc(d) << "<br>\n";
    if (Set(rec, PDBFlatitude) && Set(rec, PDBFlongitude)) {
      const double la = PDBgetField(rec, PDBFlatitude).GetFloat(0);
      const double lo = PDBgetField(rec, PDBFlongitude).GetFloat(0);
      char t[96];
      Csnprintf(t, sizeof t, "%.6f&deg; %c latitude %.6f&deg; %c longitude ", la > 0 ? la : -la,
                la > 0 ? 'N' : 'S', lo > 0 ? lo : -lo, lo > 0 ? 'E' : 'W');
      os << "<i>GPS</i> " << t;
      if (Set(rec, PDBFaltitude)) os << Num(PDBgetField(rec, PDBFaltitude)) << " meters altitude";
      os << "<br>\n";
    }
    if (Set(rec, PDBFbearing))
      os << "<i>Sight bearing</i> " << Num(PDBgetField(rec, PDBFbearing))
         << "&deg; East of North<br>\n";
  }
  if (infflags & 0x2000) {
    const DBFieldInfo* fi = rec.GetFieldInfo();
    for (int id = 0; fi != nullptr && id < fi->GetNFields(); id++) {
      const DBFDetails* d = fi->GetDetails(id);
      if (d == nullptr || (d->flags & 0x2200) != 0x2000 || rec[id].GetNV() == 0) continue;
      os << "<i>" << Esc(fi->GetName(id)) << "</i> ";
      if (rec.FormatField(id, buf, sizeof buf) != nullptr) os << Esc(buf);
      os << "<br>\n";
    }
  }
}

bool WebAlbumAuthor::Close() {
  if (!Ready()) return true;
  std::ostream& os = ofs->Stream();
  char now[32], date[8192];
  DBField when;
  if (cvtdate(now, std::time(nullptr)) != nullptr) {
    when.Set(now);
    if (PDBformatDate(date, sizeof date, when) != nullptr)
      os << "\n<P>\n<i>Page created " << Esc(date) << "</i></P>";
  }
  os << "\n</BODY>\n</HTML>\n";
  // The pictures go in place first: the page never names one that is not there.
  bool ok = CommitStaged();
  if (ok)
    ok = ofs->Commit();
  else
    ofs->Discard();
  if (linkOrig && linkedRL.GetSize() > 0) {
    // The list beside the page: its name with "_ps.txt" in place of the suffix.
    std::string list = fname;
    const size_t slash = list.rfind('/');
    const size_t dot = list.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) list.resize(dot);
    list += "_ps.txt";
    PSafeFile lf(list.c_str());
    if (lf.IsOpen()) {
      linkedRL.Write(&lf.Stream(), '\t');
      if (lf.Commit())
        DMESSAGE(DMCinfo, "Records written to '%s'", list.c_str());
      else
        DMESSAGE(DMCsystem, "Error writing file '%s'", list.c_str());
    } else {
      DMESSAGE(DMCsystem, "Error writing file '%s'", list.c_str());
    }
  }
  linkedRL.Init(nullptr);
  strunlink(fname);
  fname = nullptr;
  CloseFolder(false);
  return ok;
}

void WebAlbumAuthor::Discard() {
  if (!Ready()) return;
  ofs->Discard();
  DropStaged();
  CloseFolder(madeDir);
  linkedRL.Init(nullptr);
  strunlink(fname);
  fname = nullptr;
}

void WebAlbumAuthor::CloseFolder(bool remove) {
  if (imgfd < 0) return;
  // Removed only when it is still empty, and still the folder made here.
  struct stat made, now;
  if (remove && fstat(imgfd, &made) == 0 && lstat(imgdir, &now) == 0 && made.st_dev == now.st_dev &&
      made.st_ino == now.st_ino)
    rmdir(imgdir);
  close(imgfd);
  imgfd = -1;
  imgat.clear();
}

ControlRef webControl(int id) {
  return PcontrolOf(gWebWindow, kCmdExportWebAlbum, id);
}

int saveWebPage(const char* fn, void* ctx) {
  PContext* pc = PexchangeContext(ctx);
  if (pc == nullptr || pc->rdisp.GetSize() == 0 || fn == nullptr) return 0;
  ABitMap chosen;
  if (!PchooseRecords(pc, &chosen, "Create web page with 1 image?", "Use All")) return 0;
  PBusyGuard busy;
  checkRecords(false, pc);
  WebAlbumAuthor wa(fn, pc->album);
  if (!wa.Ready()) return -1;  // told why
  static bool first = true;
  int setM = 0, clrM = 0;
  if (pc->album[0] == '\0') setM = clrM = 512;  // no album, no album caption
  if (first) {
    PexposureOptionMasks(&setM, &clrM);
    MaxLSize = GetControl32BitMaximum(webControl(131));
    first = false;
  }
  const int ans = optionsDialog(gWebWindow, setM, clrM, true);
  if (ans < 0) {
    // Nothing of the old page or its folder is touched.
    wa.Discard();
    DMESSAGE(DMCtrace, "User cancelled web export");
    return 0;
  }
  wa.pem = (ans & 16 ? PEMauto : 0) | (ans & 32 ? PEMhuman : 0);
  wa.linkOrig = (ans & 64) != 0;
  wa.saveHDR = (ans & 16384) != 0;
  wa.infflags = 0;
  static const int kCaption[][2] = {{128, 0x0001},  {256, 0x0002},  {512, 0x0004}, {1024, 0x2078},
                                    {2048, 0x0380}, {4096, 0x1C00}, {8192, 0x2000}};
  for (const auto& c : kCaption)
    if (ans & c[0]) wa.infflags |= c[1];
  wa.qual = GetControlValue(webControl(129));
  wa.iwidth = wa.iheight = GetControlValue(webControl(130));
  const int F = GetControlValue(webControl(131));
  if (F <= 1)
    wa.lwidth = wa.lheight = -1;
  else if (F < MaxLSize)
    wa.lwidth = wa.lheight = F * wa.iwidth;
  else
    wa.lwidth = wa.lheight = 0;

  const int total = PcountChosen(chosen);
  int done = 0, count = 0;
  bool stopped = false;
  char msg[300];
  PLeftRecords left("Web Album");
  for (int i = 0; i < pc->rdisp.GetSize(); i++) {
    if (!chosen.Check(static_cast<unsigned long>(i))) continue;
    const DBRecord& rec = pc->rdisp.Get(i);
    if (!left.Named(rec)) {
      done++;
      continue;
    }
    const char* file = Str(rec, PDBFfile);
    std::snprintf(msg, sizeof msg, "Converting '%s'...", file && *file ? file : "Unknown");
    if (!reportProgress(msg, static_cast<int>(100LL * done / total))) {
      stopped = true;
      break;
    }
    {
      const PSliceSpan span(static_cast<int>(100LL * done / total),
                            static_cast<int>(100LL * (done + 1) / total));
      if (wa.ImageLink(rec)) count++;
    }
    done++;
  }
  // A Stop pressed during the last picture still counts.
  if (!stopped && !reportProgress(nullptr, 100)) stopped = true;
  if (stopped) {
    // A stopped album is not written: the old page and its pictures, if any, stay as they were.
    wa.Discard();
    DMESSAGE(DMCinfo, "Web page '%s' not written: stopped", fn);
    if (gMain != nullptr) gMain->ShowMessage("Stopped: no web page written", false);
    return 0;
  }
  if (!wa.Close()) {
    DMESSAGE(DMCsystem, "Error writing web page '%s'", fn);
    return -1;
  }
  DMESSAGE(DMCinfo, "Created web page '%s'", fn);
  left.Tell();
  PechoExported(count, total, false);
  return count;
}
