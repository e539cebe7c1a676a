// Deleting a singly linked chain of heap objects (the pages of a database, the selectors of a
// query, the variables of a header, a change history, sibling panes, cached sheets).
#pragma once

// Deletes the objects from first on, following link, one at a time so that a long chain builds
// no deep recursion of destructors (each is unlinked before it goes); first becomes null.
template <class T>
void DeleteChain(T*& first, T* T::*link) {
  T* p = first;
  first = nullptr;
  while (p != nullptr) {
    T* n = p->*link;
    p->*link = nullptr;
    delete p;
    p = n;
  }
}
