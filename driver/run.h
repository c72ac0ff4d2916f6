// The scan driver: start-up, map loading, the map header and the endless
// dialogue of scan requests.
#pragma once

namespace fieldscan {

// Runs the tool on the console (standard input, output and error) with the
// command-line arguments; returns the exit status of an orderly end (0).
// Fatal ends leave through a severe diagnostic, which ends the process.
int run(int argc, char** argv);

}  // namespace fieldscan
