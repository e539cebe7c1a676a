// Find nearby.
#include "app/records/pfindnearby.h"

#include <cmath>
#include <cstring>

#include "app/core/papp.h"
#include "app/core/pbusy.h"
#include "app/core/pdialogs.h"
#include "app/records/psetother.h"
#include "catalog/pfieldset.h"

namespace {

constexpr float kEarthRadius = 6378.4f;  // kilometres
constexpr double kDegPerRad = 57.29577951308232;
constexpr double kRadPerDeg = 0.017453292519943295;

// The radius text, kept for the whole run and offered again.
char radius[64];

// The latitude and longitude of record r, when it has a place on the globe.
bool Position(const DBRecord& r, float* lat, float* lon) {
  if (!PDBgetFloat(r, PDBFlatitude, lat) || !PDBgetFloat(r, PDBFlongitude, lon)) return false;
  return std::isfinite(*lat) && std::isfinite(*lon) && std::fabs(*lat) <= 90.0f &&
         std::fabs(*lon) <= 180.0f;
}

}  // namespace

int PnearbyBoxes(float lat, float lon, double km, float lo[2][2], float hi[2][2]) {
  if (!std::isfinite(lat) || !std::isfinite(lon) || std::fabs(lat) > 90.0f ||
      std::fabs(lon) > 180.0f || !std::isfinite(km) || km <= 0.0)
    return 0;
  const float dlat = static_cast<float>(km * kDegPerRad / kEarthRadius);
  const float dlon = static_cast<float>(dlat / std::cos(lat * kRadPerDeg));
  const float south = std::max(lat - dlat, -90.0f), north = std::min(lat + dlat, 90.0f);
  lo[0][0] = lo[1][0] = south;
  hi[0][0] = hi[1][0] = north;
  // Near a pole the box is a cap: every longitude.
  if (south <= -90.0f || north >= 90.0f || !std::isfinite(dlon) || dlon <= 0.0f || dlon >= 180.0f) {
    lo[0][1] = -180.0f;
    hi[0][1] = 180.0f;
    return 1;
  }
  const float west = lon - dlon, east = lon + dlon;
  if (west < -180.0f) {  // across the 180th meridian from the east
    lo[0][1] = -180.0f, hi[0][1] = east;
    lo[1][1] = west + 360.0f, hi[1][1] = 180.0f;
    return 2;
  }
  if (east > 180.0f) {
    lo[0][1] = west, hi[0][1] = 180.0f;
    lo[1][1] = -180.0f, hi[1][1] = east - 360.0f;
    return 2;
  }
  lo[0][1] = west;
  hi[0][1] = east;
  return 1;
}

bool findNearby() {
  if (gMain == nullptr || PisBusy()) return false;
  PContext& ctx = gMain->bc;
  if (!ctx.Ready()) return false;
  if (radius[0] == '\0') strcpy(radius, "0.1");
  if (getInput(radius, sizeof radius, "Kilometer search radius") != kResponseOK) return false;
  float km = 0.0f;
  if (!fracCheck(radius, &km) || km <= 0.0f) {
    if (radius[0] != '\0') DMESSAGE(DMCinput, "Radius must be a positive number of kilometers");
    return false;
  }

  const DBFieldInfo* schema = &ctx.phd;
  const int flat = schema->XlateID(&PDBFInfo, PDBFlatitude);
  const int flon = schema->XlateID(&PDBFInfo, PDBFlongitude);
  if (flat < 0 || flon < 0) return false;
  ctx.dbs.Clear();
  DBRecordList around(nullptr, 0);
  int boxes = 0;
  for (int i = 0; ctx.NextSelected(&i); ++i) {
    float lat = 0, lon = 0;
    if (!Position(ctx.rdisp[i], &lat, &lon)) continue;
    float lo[2][2], hi[2][2];
    const int n = PnearbyBoxes(lat, lon, km, lo, hi);
    for (int b = 0; b < n; ++b) {
      DBRecord rlo(schema), rhi(schema);
      rlo.SetField(flat, lo[b][0]);
      rlo.SetField(flon, lo[b][1]);
      rhi.SetField(flat, hi[b][0]);
      rhi.SetField(flon, hi[b][1]);
      if (ctx.dbs.AddSelector(rlo, rhi, false) != 1) {
        ctx.dbs.Clear();
        return false;
      }
      ++boxes;
    }
    if (n > 0) around.NewRecord().Link(&ctx.rdisp[i]);
  }
  if (boxes == 0) {
    DMESSAGE(DMCinfo, "No selected record has a position");
    return false;
  }

  PBusyGuard busy;
  gMain->LoadingRecords(nullptr);
  checkEvents(0);
  strcpy(ctx.rsrc, "*DB");
  ctx.dbs.FindAll(&ctx.rdisp);
  ctx.album[0] = '\0';
  gMain->LoadedRecords(0);
  for (int k = around.GetSize(); k-- > 0;) ctx.Select(ctx.rdisp.FindRecord(around[k]));
  if (IBrowser* b = gMain->GetBrowser()) b->ShowSelection(true);
  return true;
}
