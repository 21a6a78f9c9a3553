// The kez executable: everything lives in the runtime library.
#include "runtime/start.h"

int main(int argc, char** argv) { kez::runtime::start(argc, argv, kez::runtime::launch); }
