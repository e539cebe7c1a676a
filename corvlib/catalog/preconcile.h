// Reconciling helpers shared with the tests and the benchmark.
#pragma once

// Bit length of the duplicate set of a reconciliation of ndisp displayed records: the prime
// table entry at or above ten bits per record (31 at least).
unsigned long PreconcileSetLength(int ndisp);
