// Lumerin: a photo browser and cataloguer with high-dynamic-range imaging.
#include "app/shell/pshell.h"

int main(int argc, char** argv) {
  return LumerinMain(argc, argv);
}
