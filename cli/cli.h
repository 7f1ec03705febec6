#pragma once

#include "upgrade/outcome.h"

namespace skelvo::cli {

// The exit codes of every command are the upgrade flow's result classes (docs/cli.md).
using namespace ::skelvo::upgrade;

int Main(int argc, char** argv);

} // namespace skelvo::cli
