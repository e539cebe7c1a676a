// The web album: a page that an HTML parser reads back to the records, its pictures and their
// sizes, the list of linked files, a second run over the first, and commands that must wait.
#include <dirent.h>

#include <algorithm>
#include <map>
#include <set>

#include "app/core/pappstate.h"
#include "app/core/pbusy.h"
#include "app/export/pforms.h"
#include "exptest.h"
#include "platform/pclipboard.h"
#include "testutil/other_user.h"

namespace {

class WebAlbum : public ExportTest {
 protected:
  // Answers the options window: quality, inline size, large-size factor and the boxes to tick.
  void Options(int qual, int size, int factor, std::vector<int> boxes, int button = 1) {
    WhenShown(
        gWebWindow,
        [=] {
          SetControlValue(webControl(129), qual);
          SetControlValue(webControl(130), size);
          SetControlValue(webControl(131), factor);
          for (int id = 132; id <= 142; id++)
            if (ControlRef b = ControlOf(gWebWindow, "optn", id))
              if (IsControlEnabled(b)) SetControlValue(b, 0);
          for (int id : boxes) SetControlValue(ControlOf(gWebWindow, "optn", id), 1);
        },
        "bttn", button);
  }
};

std::set<std::string> Files(const std::string& folder) {
  std::set<std::string> out;
  if (DIR* d = opendir(folder.c_str())) {
    for (dirent* e; (e = readdir(d)) != nullptr;)
      if (e->d_name[0] != '.') out.insert(e->d_name);
    closedir(d);
  }
  return out;
}

std::string InlineName(const DBRecord& r) {
  std::string base = Text(r, PDBFfile);
  base.resize(base.rfind('.'));
  char tail[32];
  snprintf(tail, sizeof tail, "_i%03X.jpg", static_cast<uint32_t>(myImgRecordHash(r)) % 4093);
  return base + tail;
}

// Checks the page with Python's HTML parser: every A closed, the texts of the links and the
// bold titles are the expected ones, every picture and link a file beside the page.
const char* const kCheck = R"(
import sys, os, html.parser, urllib.parse
page, names, titles = sys.argv[1], sys.argv[2], sys.argv[3]
want_names = set(open(names, encoding='utf-8').read().split('\n')) - {''}
want_titles = set(open(titles, encoding='utf-8').read().split('\n')) - {''}
class P(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.stack, self.texts, self.bold, self.links, self.inb = [], set(), set(), [], False
        self.cur = ''
    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == 'a':
            self.stack.append(tag); self.cur = ''; self.links.append(a['href'])
        if tag == 'img': self.links.append(a['src'])
        if tag == 'b': self.inb = True; self.cur = ''
    def handle_endtag(self, tag):
        if tag == 'a':
            if not self.stack: print('unopened A'); sys.exit(1)
            self.stack.pop()
            if self.cur.strip(): self.texts.add(self.cur.strip())
        if tag == 'b': self.inb = False; self.bold.add(self.cur)
    def handle_data(self, d):
        self.cur += d
p = P(); p.feed(open(page, encoding='utf-8').read()); p.close()
if p.stack: print('unclosed A'); sys.exit(1)
if p.texts != want_names: print('names', sorted(p.texts ^ want_names)); sys.exit(1)
if p.bold != want_titles: print('titles', sorted(p.bold ^ want_titles)); sys.exit(1)
for l in p.links:
    f = os.path.join(os.path.dirname(page), urllib.parse.unquote(l))
    if not os.path.isfile(f): print('missing', l); sys.exit(1)
print('ok', len(p.links))
)";

TEST_F(WebAlbum, APageOfTwentyRecordsReadsBackAndASecondRunKeepsItsNames) {
  const std::string a = Path("A"), b = Path("B");
  mkdir(a.c_str(), 0755);
  mkdir(b.c_str(), 0755);
  const char* const names[] = {"my photo 1.jpg", "Tom & Jerry.jpg", "a<b>.jpg", "#hash.jpg",
                               "100%.jpg",       "été 日本.jpg",    "it's.jpg"};
  std::vector<DBRecord> recs;
  for (const char* n : names) recs.push_back(RecordOf(MakeJpeg(a + "/" + n, 60, 40)));
  DBRecord portrait = RecordOf(MakeJpeg(a + "/portrait.jpg", 200, 300));
  DBRecord wide = RecordOf(MakeJpeg(a + "/wide.jpg", 3000, 2000, 40));
  recs.push_back(portrait);
  recs.push_back(wide);
  // Two pictures of one name whose hashes meet: their names must not.
  DBRecord one = RecordOf(MakeJpeg(a + "/IMG_0001.jpg", 50, 50));
  DBRecord two = RecordOf(MakeJpeg(b + "/IMG_0001.jpg", 70, 30));
  two.SetField(PDBFhashval, PDBgetField(one, PDBFhashval).GetInt(0));
  recs.push_back(one);
  recs.push_back(two);
  while (recs.size() < 20) {
    const int k = static_cast<int>(recs.size());
    recs.push_back(RecordOf(MakeJpeg(b + "/img_" + std::to_string(k) + ".jpg", 30 + k, 20)));
  }
  const char* const titles[] = {"Fish & <chips>", "\"Quoted\" 'title'", "Überschrift 見出し"};
  for (int i = 0; i < 3; i++) recs[static_cast<size_t>(i)].SetField(PDBFtitle, titles[i]);
  for (const DBRecord& r : recs) bc.rdisp.NewRecord() = r;

  const std::string page = Path("album.html"), img = Path("img");
  Options(80, 300, 2, {134, 135});
  NewCommand();
  ASSERT_EQ(saveWebPage(page.c_str(), &bc), 20);
  EXPECT_TRUE(log.Has(DMCinfo, "Created web page '" + page + "'"));
  const std::string html = ReadAll(page);
  EXPECT_EQ(html.find("<TITLE>"), std::string::npos);  // no album, no title
  EXPECT_EQ(html.rfind("\n</BODY>\n</HTML>\n"), html.size() - 17);

  std::string want;
  for (const DBRecord& r : recs) want += Text(r, PDBFfile) + "\n";
  WriteAll(Path("names.txt"), want);
  WriteAll(Path("titles.txt"), std::string(titles[0]) + "\n" + titles[1] + "\n" + titles[2]);
  WriteAll(Path("check.py"), kCheck);
  if (HaveProgram("python3")) {
    int status = -1;
    const std::string out = RunTool(
        "python3",
        {QString::fromStdString(Path("check.py")), QString::fromStdString(page),
         QString::fromStdString(Path("names.txt")), QString::fromStdString(Path("titles.txt"))},
        &status);
    EXPECT_EQ(status, 0) << out;
  }

  // The inline pictures: a portrait fills the box with margins of the page's colour.
  const std::string pin = img + "/" + InlineName(portrait), win = img + "/" + InlineName(wide);
  int w = 0, h = 0;
  _ImgReader* ir = PopenImageF(pin.c_str(), 1, nullptr);
  ASSERT_NE(ir, nullptr);
  _ImgStruct im = {};
  im.xres = w = ir->xres;
  im.yres = h = ir->yres;
  im.csp = &ICS_sRGB;
  ASSERT_TRUE(PrenderImageR(&im, ir, 1));
  ir->ri->Close(ir);
  EXPECT_EQ(w, 300);
  EXPECT_EQ(h, 300);
  const unsigned char* margin = im.img + 150 * im.rowsize + 10 * 3;
  for (int c = 0; c < 3; c++) EXPECT_NEAR(margin[c], 200, 6);
  PfreeImage(&im);
  if (HaveProgram("identify")) {
    EXPECT_EQ(RunTool("identify", {"-format", "%wx%h", QString::fromStdString(pin)}), "300x300");
    EXPECT_EQ(RunTool("identify", {"-format", "%wx%h", QString::fromStdString(win)}), "300x200");
  }

  // The linked files' list reads back: the copies in the image folder.
  DBRecordList linked(&PDBFInfo);
  std::ifstream ps(Path("album_ps.txt"));
  ASSERT_EQ(linked.Read(&ps, nullptr, nullptr), 20);
  std::set<std::string> copies;
  for (int i = 0; i < 20; i++) {
    EXPECT_EQ(Text(linked.Get(i), PDBFlocation), img);
    copies.insert(Text(linked.Get(i), PDBFfile));
    EXPECT_TRUE(FileExists(img + "/" + Text(linked.Get(i), PDBFfile)));
  }
  EXPECT_EQ(copies.size(), 20u);
  // The two IMG_0001 pictures: one name each, the second with "-2".
  const std::string first = InlineName(one);
  const std::string second2 = first.substr(0, first.size() - 4) + "-2.jpg";
  EXPECT_TRUE(FileExists(img + "/" + first));
  EXPECT_TRUE(FileExists(img + "/" + second2));

  // A second run writes the same names over the first, and commands that would replace the
  // records wait meanwhile. (Its overwrite warnings blink in the status line for 2.5 s when it
  // ends, which makes this test slow.)
  const std::set<std::string> before = Files(img);
  ClipboardPutText("File\tLocation\n\"x.jpg\"\t\"/nowhere\"\n");
  bool busy = false;
  QTimer t;
  QObject::connect(&t, &QTimer::timeout, [&] {
    if (!IsWindowVisible(gProgressWindow) || busy) return;
    busy = PisBusy();
    SendCommand("clea");
    SendCommand("past", kEventCommandProcess, GetWindowEventTarget(gMain->GetWindow()));
  });
  t.start(1);
  Options(80, 300, 2, {134, 135});
  NewCommand();
  ASSERT_EQ(saveWebPage(page.c_str(), &bc), 20);
  t.stop();
  EXPECT_TRUE(busy);
  EXPECT_EQ(bc.rdisp.GetSize(), 20);
  EXPECT_EQ(Files(img), before);
  EXPECT_EQ(ReadAll(page).substr(0, html.rfind("<i>Page created")),
            html.substr(0, html.rfind("<i>Page created")));
  EXPECT_TRUE(log.Has(DMCwarning, "Overwriting image file '" + pin + "'"));

  // Cancelled: the page and its folder stay as they were.
  const std::string second = ReadAll(page);
  Options(80, 300, 2, {134}, 2);
  EXPECT_EQ(saveWebPage(page.c_str(), &bc), 0);
  EXPECT_EQ(ReadAll(page), second);
  EXPECT_EQ(Files(dir.Dir()),
            (std::set<std::string>{"A", "B", "album.html", "album_ps.txt", "check.py", "img",
                                   "names.txt", "titles.txt"}));
}

// An album in a folder another user may write, where that user left a link at "img" to a folder
// of theirs, or a folder of their own: the album is refused, naming the folder and why, and
// nothing is written in it. A link swapped in after the folder was checked is of no use: the
// pictures go to the folder checked.
TEST_F(WebAlbum, AnImageFolderThatIsALinkOrAnotherUsersIsRefusedAndNeverWrittenThrough) {
  const std::string shared = testutil::SharedFolder(dir.Dir());
  const std::string page = shared + "/album.html", img = shared + "/img";
  const std::string theirs = testutil::SharedFolder(dir.Dir(), "theirs");
  bc.rdisp.NewRecord() = RecordOf(MakeJpeg(Path("a.jpg"), 80, 60));
  log.alerts = true;
  AlertsAnswered alerts;
  struct Planted {
    const char* why;
    bool otherUsers;  // a file of another user: only root can plant it
    std::function<bool()> plant;
  };
  const Planted planted[] = {
      {"is a symbolic link", false, [&] { return symlink(theirs.c_str(), img.c_str()) == 0; }},
      {"belongs to another user", true, [&] { return mkdir(img.c_str(), 0777) == 0; }},
  };
  for (const Planted& p : planted) {
    SCOPED_TRACE(p.why);
    if (p.otherUsers && !testutil::CanBeOtherUser()) {
      std::cout << "Not root: no folder of another user to plant\n";
      continue;
    }
    ASSERT_TRUE(testutil::Plant(p.plant));
    alerts.texts.clear();
    dmessage_last_class = alertLastClass = DMCnerr;  // as a command from the menu starts
    EXPECT_EQ(saveWebPage(page.c_str(), &bc), -1);
    testutil::WaitUntil([&] { return !alerts.texts.empty(); }, [] { checkEvents(0.01); });
    EXPECT_EQ(alerts.texts, std::vector<std::string>{"Web page not written: its picture folder '" +
                                                     img + "' " + p.why})
        << log.All();
    EXPECT_TRUE(Files(theirs).empty()) << ::testing::PrintToString(Files(theirs));
    EXPECT_TRUE(Files(img).empty());
    EXPECT_EQ(Files(shared), std::set<std::string>{"img"});
    ASSERT_TRUE(testutil::Plant([&] { return remove(img.c_str()) == 0; }));
  }

  // Checked, then renamed away by the other user and a link left in its place.
  WebAlbumAuthor wa(page.c_str(), "");
  ASSERT_TRUE(wa.Ready());
  wa.lwidth = wa.lheight = -1;  // the inline picture only
  const std::string checked = shared + "/checked";
  ASSERT_TRUE(testutil::Plant([&] {
    return rename(img.c_str(), checked.c_str()) == 0 && symlink(theirs.c_str(), img.c_str()) == 0;
  }));
  EXPECT_TRUE(wa.ImageLink(bc.rdisp.Get(0)));
  EXPECT_TRUE(wa.Close());
  EXPECT_TRUE(Files(theirs).empty()) << ::testing::PrintToString(Files(theirs));
  EXPECT_EQ(Files(checked), std::set<std::string>{InlineName(bc.rdisp.Get(0))});
}

TEST_F(WebAlbum, CaptionsAreEscapedAndBrokenIntoShortLines) {
  char text[] =
      "A rather long caption that goes on and on well past fifty characters & more <b>tags</b>";
  breakLine(text);
  EXPECT_STREQ(text,
               "A rather long caption that goes on and on well past\nfifty characters & more "
               "<b>tags</b>");
  DBRecord r = RecordOf(MakeJpeg(Path("c.jpg"), 80, 60));
  const char* comments[] = {text, "x < y"};
  r.SetField(PDBFcomment, comments, 2);
  r.SetField(PDBFlatitude, -33.5f);
  r.SetField(PDBFlongitude, -70.25f);
  bc.rdisp.NewRecord() = r;
  snprintf(bc.album, sizeof bc.album, "Trip & <Friends>");
  const std::string page = Path("p.html");
  Options(80, 100, 1, {135, 138, 140});
  NewCommand();
  ASSERT_EQ(saveWebPage(page.c_str(), &bc), 1);
  const std::string html = ReadAll(page);
  EXPECT_NE(html.find("<TITLE>Trip &amp; &lt;Friends&gt;</TITLE>"), std::string::npos);
  EXPECT_NE(html.find("\n<H1>Trip &amp; &lt;Friends&gt;</H1>\n"), std::string::npos);
  EXPECT_NE(html.find("<i>Comment</i> x &lt; y<br>\n"), std::string::npos);
  EXPECT_NE(html.find("past\nfifty characters &amp; more &lt;b&gt;tags&lt;/b&gt;<br>"),
            std::string::npos);
  EXPECT_NE(html.find("<i>GPS</i> 33.500000&deg; S latitude 70.250000&deg; W longitude <br>"),
            std::string::npos);
  EXPECT_EQ(html.find("_l"), std::string::npos);  // factor 1: no large picture
}

// An HTML5 parser reads the page with no error but the missing doctype, and finds its
// encoding on the page itself: the names read back whole with no transport encoding given. The
// page is UTF-8 whatever bytes the names hold: their stray bytes show as "\xE9", and every
// picture and link names its file by the name's own bytes.
TEST_F(WebAlbum, AnHtml5ParserReadsThePageAndItsEncoding) {
  const char* const kHtml5 = R"(
import sys, os, html5lib, urllib.parse
raw = open(sys.argv[1], 'rb').read()
raw.decode('utf-8')  # strict: a stray byte fails
p = html5lib.HTMLParser(tree=html5lib.getTreeBuilder('etree'))
doc = p.parse(raw)
errors = [e for e in p.errors if e[1] != 'expected-doctype-but-got-start-tag']
if errors: print('errors', errors); sys.exit(1)
if p.documentEncoding != 'utf-8': print('encoding', p.documentEncoding); sys.exit(1)
text = ''.join(doc.itertext())
alts = [el.get('alt') for el in doc.iter() if el.get('alt') is not None]
for want in sys.argv[2:]:
    if want not in text: print('missing', want); sys.exit(1)
    if want.endswith('.jpg') and want[:-4] not in alts: print('no alt', want); sys.exit(1)
folder = os.path.dirname(sys.argv[1]).encode()
links = 0
for el in doc.iter():
    for attr in ('src', 'href'):
        if el.get(attr) is not None:
            links += 1
            if not os.path.isfile(os.path.join(folder, urllib.parse.unquote_to_bytes(el.get(attr)))):
                print('dangling', attr, el.get(attr)); sys.exit(1)
print('links', links)
)";
  std::string python;
  for (const char* py : {"python3", "/usr/bin/python3"})
    if (python.empty() && HaveProgram(py)) {
      int status = -1;
      RunTool(py, {"-c", "import importlib.util as u; exit(u.find_spec('html5lib') is None)"},
              &status);
      if (status == 0) python = py;
    }
  if (python.empty()) GTEST_SKIP() << "no python3 with html5lib";
  // Each name and the text it shows as.
  const char* const names[][2] = {{"Café.jpg", "Café.jpg"},
                                  {"<b>.jpg", "<b>.jpg"},
                                  {"Tom & Jerry.jpg", "Tom & Jerry.jpg"},
                                  {"two  blanks .jpg", "two  blanks .jpg"},
                                  {"caf\xE9.jpg", "caf\\xE9.jpg"},
                                  {"\xFF.jpg", "\\xFF.jpg"},
                                  {"two\nlines.jpg", "two\nlines.jpg"}};
  QStringList args = {QString::fromStdString(Path("check5.py")),
                      QString::fromStdString(Path("p.html"))};
  for (const auto& n : names) {
    bc.rdisp.NewRecord() = RecordOf(MakeJpeg(Path(n[0]), 40, 30));
    args << QString::fromUtf8(n[1]);
  }
  snprintf(bc.album, sizeof bc.album, "Café & <Friends>");
  args << QString::fromUtf8("Café & <Friends>");
  WriteAll(Path("check5.py"), kHtml5);
  for (int factor : {1, 2}) {  // without and with large pictures
    QDir(QString::fromStdString(Path("img"))).removeRecursively();  // no overwrite warnings
    Options(80, 100, factor, {134, 135});
    NewCommand();
    ASSERT_EQ(saveWebPage(Path("p.html").c_str(), &bc), 7);
    int status = -1;
    const std::string out = RunTool(python.c_str(), args, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "links 14\n");  // each picture and its link
  }
}

// A large picture is read a slice at a time with the event loop running (the Progress bar
// moves during the picture, which only the slices of its reads do), and a Stop pressed then
// leaves the album as it was: the page and every picture of the run before, nothing of this one.
TEST_F(WebAlbum, ALargePictureKeepsTheWindowAnsweringAndAStopLeavesTheAlbumAsItWas) {
  bc.rdisp.NewRecord() = RecordOf(MakeJpeg(Path("small.jpg"), 80, 60));
  bc.rdisp.NewRecord() = RecordOf(MakeJpeg(Path("large.jpg"), 2400, 1800));
  const std::string page = Path("album.html"), img = Path("img");
  bool stopWanted = false, stopped = false;
  std::vector<int> seen;
  QTimer t;
  QObject::connect(&t, &QTimer::timeout, [&] {
    ControlRef bar = ControlOf(gProgressWindow, "prgs", 129);
    if (!IsWindowVisible(gProgressWindow) || bar == nullptr) return;
    const int v = GetControlValue(bar);
    seen.push_back(v);
    // Within the second picture's share of the bar: its reads are under way.
    if (stopWanted && !stopped && v > 50 && v < 100) {
      auto* b = qobject_cast<QAbstractButton*>(WidgetOf(gProgressWindow, "bttn", 3));
      if (b != nullptr && b->isEnabled()) {
        QTest::mouseClick(b, Qt::LeftButton);
        stopped = true;
      }
    }
  });
  t.start(0);
  Options(80, 300, 2, {135});
  NewCommand();
  ASSERT_EQ(saveWebPage(page.c_str(), &bc), 2) << log.All();
  EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](int v) { return v > 50 && v < 100; }))
      << ::testing::PrintToString(seen);
  const std::string html = ReadAll(page);
  const std::set<std::string> files = Files(img);
  std::map<std::string, std::string> bytes;
  for (const std::string& f : files) bytes[f] = ReadAll(img + "/" + f);
  ASSERT_EQ(files.size(), 4u);  // an inline and a large picture each

  // Again at another quality, which would change every picture, stopped in the second one.
  stopWanted = true;
  log.Clear();
  Options(30, 300, 2, {135});
  NewCommand();
  EXPECT_EQ(saveWebPage(page.c_str(), &bc), 0);
  t.stop();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(ReadAll(page), html);
  EXPECT_EQ(Files(img), files);
  for (const std::string& f : files) EXPECT_EQ(ReadAll(img + "/" + f), bytes[f]) << f;
  EXPECT_EQ(StatusLine(), "Stopped: no web page written");
  EXPECT_FALSE(log.Has(DMCinfo, "Created web page '" + page + "'")) << log.All();

  // Stopped in a new place, it leaves nothing there.
  const std::string other = Path("new/album.html");
  mkdir(Path("new").c_str(), 0755);
  stopped = false;
  t.start(0);
  Options(80, 300, 2, {135});
  EXPECT_EQ(saveWebPage(other.c_str(), &bc), 0);
  t.stop();
  EXPECT_TRUE(stopped);
  EXPECT_TRUE(Files(Path("new")).empty()) << ::testing::PrintToString(Files(Path("new")));
}

// A catalogue someone else made, whose header declares the numeric fields ASA and Altitude as
// text holding markup, and a record whose File climbs out of its folder to a picture there:
// imported and published, the page holds the markup as text only, the rest of each line as
// ever, and the album leaves the climbing record out, saying so.
TEST_F(WebAlbum, MarkupInFieldsOfAnyDeclaredTypeIsTextOnThePage) {
  const std::string db = Path("theirs.qdb"), sub = Path("sub");
  mkdir(sub.c_str(), 0755);
  const DBRecord pic = RecordOf(MakeJpeg(sub + "/pic.jpg", 80, 60));
  MakeJpeg(Path("outside.jpg"), 80, 60);
  const std::string asa = "<script>alert(document.cookie)</script>",
                    alt = "<img src=x onerror=alert(1)>";
  {
    PContext maker;
    ASSERT_TRUE(maker.OpenDB(db.c_str()));
    maker.phd.Field("ASA", DBDTstring, "ASA");
    maker.phd.Field("Altitude", DBDTstring, "Altitude");
    maker.phd.SetChangedFlag(true);
    ASSERT_TRUE(maker.Checkpoint("Add", nullptr));
    for (const char* file : {"pic.jpg", "../outside.jpg"}) {
      DBRecord r(&maker.phd);
      for (int f = 0; f < PDBFInfo.GetNFields(); ++f)
        if (pic[f].IsSet()) r.SetField(maker.phd.XlateID(&PDBFInfo, f), pic[f]);
      PDBsetString(&r, PDBFfile, file);
      PDBsetString(&r, PDBFasa, asa.c_str());
      PDBsetString(&r, PDBFaltitude, alt.c_str());
      PDBsetFloat(&r, PDBFexptime, 0.004f);
      PDBsetFloat(&r, PDBFaperture, 8.0f);
      PDBsetFloat(&r, PDBFlatitude, 1.0f);
      PDBsetFloat(&r, PDBFlongitude, 2.0f);
      maker.pdb.AddRecord(r);
    }
    ASSERT_TRUE(maker.CloseDB());
  }
  importRecords(db.c_str());
  ASSERT_EQ(bc.rdisp.GetSize(), 2);
  ASSERT_EQ(PDBgetField(bc.rdisp.Get(0), PDBFasa).GetDT(), DBDTstring);
  const std::string page = Path("album.html");
  Options(80, 100, 2, {139, 140});
  log.alerts = true;
  AlertsAnswered alerts;
  dmessage_last_class = alertLastClass = DMCnerr;
  ASSERT_EQ(saveWebPage(page.c_str(), &bc), 1);
  testutil::WaitUntil([&] { return !alerts.texts.empty(); }, [] { checkEvents(0.01); });
  EXPECT_EQ(alerts.texts, std::vector<std::string>{"Web Album left record '../outside.jpg' alone: "
                                                   "its File is not a file name"});
  EXPECT_EQ(Files(Path("img")).size(), 2u);  // the one picture, inline and large
  const std::string html = ReadAll(page);

  // Every tag on the page is one of the page's own; no value shows unescaped.
  static const std::set<std::string> kTags = {
      "HTML", "HEAD", "meta",  "!--",   "TITLE", "BODY", "H1", "P",  "IMG", "A",   "BR",    "b",
      "i",    "br",   "/HEAD", "/BODY", "/HTML", "/P",   "/A", "/b", "/i",  "/H1", "/TITLE"};
  for (size_t at = html.find('<'); at != std::string::npos; at = html.find('<', at + 1)) {
    const size_t end = html.find_first_of(" >\n", at + 1);
    EXPECT_EQ(kTags.count(html.substr(at + 1, end - at - 1)), 1u) << html.substr(at, 40);
  }
  EXPECT_EQ(html.find(asa), std::string::npos);
  EXPECT_EQ(html.find(alt), std::string::npos);
  EXPECT_NE(html.find("<i>Exposure</i> 1/250 sec @ f/8, ASA "
                      "&lt;script&gt;alert(document.cookie)&lt;/script&gt;<br>\n"),
            std::string::npos);
  EXPECT_NE(html.find("<i>GPS</i> 1.000000&deg; N latitude 2.000000&deg; E longitude "
                      "&lt;img src=x onerror=alert(1)&gt; meters altitude<br>\n"),
            std::string::npos);
  EXPECT_NE(html.find("<i>Size</i> 80x60 pixels<br>\n"), std::string::npos);
  EXPECT_EQ(html.find("outside"), std::string::npos);
}

}  // namespace
