#include "cli/entry.h"

int main(int argc, char** argv) { return kestrel::cli::runCommandLine({argv + 1, argv + argc}); }
