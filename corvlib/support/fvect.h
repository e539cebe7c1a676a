// Three-vector arithmetic on doubles and the compact 32-bit code of unit directions.
#pragma once

#include <cstdint>

typedef double FVECT[3];

double fdot(const FVECT a, const FVECT b);
// Squared distance between two points.
double dist2(const FVECT a, const FVECT b);
// Squared distance from p to the infinite line through e1 and e2.
double dist2line(const FVECT p, const FVECT e1, const FVECT e2);
// Squared distance from p to the segment from e1 to e2.
double dist2lseg(const FVECT p, const FVECT e1, const FVECT e2);
// r = a x b (r must be neither a nor b); returns r.
double* fcross(FVECT r, const FVECT a, const FVECT b);
// r = a + f b; returns r.
double* fvsum(FVECT r, const FVECT a, const FVECT b, double f);
// Scales v to unit length; returns its former length, 0 for the zero vector (left as is).
double normalize(FVECT v);
// Parameters t[0], t[1] of the points of closest approach of two rays with unit directions;
// 0 when they are parallel.
int closestapproach(double t[2], const FVECT o0, const FVECT d0, const FVECT o1, const FVECT d1);
// r = v rotated about the unit axis by angle radians (r may be v).
void spinvector(FVECT r, const FVECT v, const FVECT axis, double angle);

// Direction code of a unit vector; 0 is the zero vector.
uint32_t encodedir(const FVECT v);
void decodedir(FVECT v, uint32_t code);
// Squared distance between two decoded directions, and between one and a vector.
double dir2diff(uint32_t c1, uint32_t c2);
double fdir2diff(uint32_t c, const FVECT v);
