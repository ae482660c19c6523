#pragma once

// The updater's whole start-up sequence; returns the process exit code.
int runUpdater(int argc, char **argv);
