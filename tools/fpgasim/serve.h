// fpgasim serve: the board as a live page in a browser, with its inputs.
#ifndef DVRPLAT_FPGASIM_SERVE_H
#define DVRPLAT_FPGASIM_SERVE_H

#include <string>
#include <vector>

namespace fpgasim {

// The port the panel listens on unless --port says otherwise.
constexpr int kDefaultPanelPort = 8020;

// Runs the panel for the simulator file at path until SIGINT or SIGTERM;
// args are the words after "serve". Returns the command's exit status.
int serve(const std::string &path, const std::vector<std::string> &args);

} // namespace fpgasim

#endif
