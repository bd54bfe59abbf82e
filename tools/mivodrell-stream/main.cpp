// mivodrell-stream: streams this machine's displays (or virtual ones) through the whole engine
// and records what a controller would play. `--help` lists the options.

#include "StreamJob.h"
#include "StreamOptions.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <variant>
#include <vector>

int main(int argc, char** argv) {
    using namespace mivodrell::stream;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto parsed = parseStreamOptions(arguments);
    if (const auto* error = std::get_if<OptionsError>(&parsed)) {
        std::fprintf(stderr, "mivodrell-stream: %s\n", error->message.c_str());
        return ExitCode::badOptions;
    }
    const auto& options = std::get<StreamOptions>(parsed);
    if (options.help) {
        std::fputs(streamUsage().c_str(), stdout);
        return 0;
    }
    return runStreamJob(options, stdout, isatty(STDOUT_FILENO) == 1);
}
