#pragma once

// The bridge's command line besides its one argument, the main application's
// server name: --help and --version, answered before anything else starts.

// The exit code when argv asks for help or the version (printed to standard
// output); -1 when it does not and the bridge should start.
int handleInfoOptions(int argc, char* argv[]);
