#include "launcher/entry.h"

int main(int argc, char** argv) { return launcherMain(argc, argv); }
