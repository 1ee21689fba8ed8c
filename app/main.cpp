// main.cpp - the kivamet daemon's entry point.
#include "kivamet.h"

int main(int argc, char **argv) {
  return kivamet_main(argc, argv);
}
