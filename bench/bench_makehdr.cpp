// Make HDR as the command runs it, on one thread: five 12-megapixel 8-bit TIFF exposures two
// stops apart with a saved camera response, no alignment, from reading the inputs to the
// written temporary TIFF. makehdr_peer.py runs OpenCV's MergeDebevec on the same files with the
// same response (reading and writing included) for comparison.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/core/papp.h"
#include "app/core/phandlers.h"
#include "app/core/pprefs.h"
#include "app/hdrpano/makehdr.h"
#include "app/hdrpano/ptempimg.h"
#include "app/shell/pshell.h"
#include "catalog/pcontext.h"
#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "formats/stdformats.h"
#include "formats/tiffimg.h"
#include "hdr/phdrimg.h"

namespace {

constexpr int kW = 4000, kH = 3000, kN = 5;

std::string Path(int i) {
  return std::string(P_tmpdir) + "/lumerin_bench_mhdr" + std::to_string(i) + ".tif";
}

// The series, written once: tiles over 3.5 decades seen through the response x squared.
bool WriteSeries() {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(0, 1);
  const int tile = 50, tx = kW / tile, ty = kH / tile;
  std::vector<double> base(3 * tx * ty);
  for (double& b : base) b = std::pow(10.0, 3.5 * u(rng));
  _ImgStruct im = {kW, kH, &ICS_sRGB, 0, nullptr, nullptr};
  if (!PnewImage(&im, 0)) return false;
  for (int i = 0; i < kN; i++) {
    if (FILE* f = fopen(Path(i).c_str(), "rb")) {
      fclose(f);
      continue;
    }
    const double mult = 1e-3 * std::pow(4.0, i);
    for (int y = 0; y < kH; y++) {
      uint8_t* row = im.img + static_cast<ptrdiff_t>(y) * im.rowsize;
      for (int x = 0; x < kW; x++)
        for (int c = 0; c < 3; c++) {
          const double l = std::min(1.0, base[3 * ((y / tile) * tx + x / tile) + c] * mult *
                                             (1 + 0.2 * (x % tile) / tile));
          row[3 * x + c] = static_cast<uint8_t>(std::lround(255 * std::sqrt(l)));
        }
    }
    _ImgWriteBuf wb;
    PsetWriteBuf(&wb, &im);
    if (TiffWriteImage(Path(i).c_str(), &wb) <= 0) return false;
  }
  PfreeImage(&im);
  return true;
}

// The interface as start-up makes it, the series shown and selected in the main window, and
// the camera's saved response.
bool Ready() {
  static bool ok = [] {
    static int argc = 1;
    static char arg0[] = "bench_makehdr";
    static char* argv[] = {arg0, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    new QApplication(argc, argv);
    for (unsigned c = DMCmemory; c < DMCnerr; ++c) dmessage_class_flags[c] &= ~DMAstderr;
    PloadStandardReaders();
    PregisterInterface("main");
    PregisterHooks();
    if (PcreateInterface() != 0 || !WriteSeries()) return false;
    PinstallEventHandlers();
    gInterfaceReady = 1;
    PContext& bc = gMain->bc;
    bc.ClearRecords();
    for (int i = 0; i < kN; i++) {
      DBRecord& r = bc.rdisp.NewRecord();
      PgrokFile(&r, Path(i).c_str());
      PDBsetFloat(&r, PDBFexptime, 1e-3 * std::pow(4.0, i));
      PDBsetFloat(&r, PDBFaperture, 8);
      PDBsetString(&r, PDBFmake, "Bench");
      PDBsetString(&r, PDBFmodel, "Camera");
      getStoNits(&r);
      bc.Select(i);
    }
    DBRecord resp;
    PgenericResponse(&resp);
    resp.SetField(CDBFmake, "Bench");
    resp.SetField(CDBFmodel, "Camera");
    gCamResponse.Init(&CDBFInfo, 0);
    gCamResponse.NewRecord() = resp;
    return true;
  }();
  return ok;
}

void BM_MakeHDRSavedResponse(benchmark::State& st) {
  if (!Ready()) {
    st.SkipWithError("no interface or series");
    return;
  }
  for (auto _ : st) {
    DBRecord rec;
    if (!PmergeTempHDR(&rec, kHDRuseResponse, 0)) st.SkipWithError("merge failed");
    PremoveTempImage(rec);
  }
  st.counters["Mpixel"] = double(kW) * kH / 1e6;
}
BENCHMARK(BM_MakeHDRSavedResponse)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
