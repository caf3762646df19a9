#include "mobri.h"

int main(int argc, char* argv[]) { return MobriMain(argc, argv); }
