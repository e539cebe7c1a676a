// Camera-response records: the schema and moving a response between a maker and a record.
#include "catalog/pdbase.h"
#include "hdr/phdrimg.h"
#include "support/dmessage.h"

CDBFieldInfo::CDBFieldInfo() {
  static const struct {
    const char* name;
    DBDataType type;
    const char* desc;
    int flags;
  } fields[CDBFend] = {{"Make", DBDTstring, "Camera manufacturer", 0},
                       {"Model", DBDTstring, "Camera model", 0},
                       {"Version", DBDTstring, "Camera version", 0},
                       {"Red", DBDTfloat, "Red response coefficients", 1},
                       {"Green", DBDTfloat, "Green response coefficients", 1},
                       {"Blue", DBDTfloat, "Blue response coefficients", 1}};
  for (int i = 0; i < CDBFend; i++)
    if (Field(fields[i].name, fields[i].type, fields[i].desc, fields[i].flags) != i)
      dmessage(DMCassert, "enumeration error in CDBFieldInfo", __FILE__, __LINE__);
}

const CDBFieldInfo CDBFInfo;

bool PHDImageMaker::GetResponse(DBRecord* rec) {
  if (rec == nullptr || nipi <= 0 || !Compute()) return false;
  rec->Init(&CDBFInfo);
  int set = 0;
  const DBRecord& src = *ipi[0].Record();
  static const PDBFieldID ids[3] = {PDBFmake, PDBFmodel, PDBFversion};
  for (int i = 0; i < 3; i++) {
    const DBField& f = PDBgetField(src, ids[i]);
    if (f.IsSet() && rec->SetField(i, f)) set++;
  }
  for (int c = 0; c < 3; c++) {
    const PPolynomial& p = soln.ply[c];
    if (p.degree < 0 || p.degree > 5) continue;
    float v[6];
    for (int i = 0; i <= p.degree; i++) v[i] = static_cast<float>(p.coef[i]);
    if (rec->SetField(CDBFred + c, v, p.degree + 1)) set++;
  }
  return set == CDBFend;
}

bool PHDImageMaker::SetResponse(const DBRecord& rec) {
  if (rec.GetFieldInfo() != &CDBFInfo) return false;
  haveSoln &= ~PHDSresponse;
  // Until a response is installed the response is wanted again, so nothing ever evaluates a
  // missing polynomial.
  solveFlags |= PHDSresponse;
  bool ok = true;
  for (int c = 0; c < 3; c++) {
    PPolynomial& p = soln.ply[c];
    p.degree = -1;
    const DBField& f = rec[CDBFred + c];
    float v[7];
    const int n = f.GetDT() == DBDTfloat ? f.GetNV() : 0;
    if (n < 1 || n > 6) {
      if (c == 0) ok = false;
      continue;
    }
    f.Get(v, n);
    p.degree = n - 1;
    for (int i = 0; i < 6; i++) p.coef[i] = i < n ? v[i] : 0.0;
  }
  if (!ok || soln.ply[1].degree != soln.ply[0].degree || soln.ply[2].degree != soln.ply[0].degree) {
    for (PPolynomial& p : soln.ply) p = linearPoly1;
    return false;
  }
  for (const PPolynomial& p : soln.ply) {
    const double x = PHDbyteX(255);
    if (!(p.Eval(x) > 0) || !(p.Deriv(x) > 0)) {
      dmessage(DMCdata, "Camera response is not positive and rising", __FILE__, __LINE__);
      for (PPolynomial& q : soln.ply) q = linearPoly1;
      return false;
    }
  }
  haveSoln |= PHDSresponse;
  solveFlags &= ~PHDSresponse;
  return true;
}

bool PHDImageMaker::GetResponse(float* resp, int c, float* slope) {
  if (resp == nullptr || c < 0 || c > 2 || !Compute()) return false;
  return PHDresponseTable(soln.ply[c], resp, slope);
}
