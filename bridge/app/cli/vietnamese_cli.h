#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace palisor {

// The command line speaks Vietnamese like the rest of the program: the help
// flag, the help's headings and the usage errors. Call before adding options
// and subcommands, which inherit these settings.
void speakVietnamese(CLI::App& app);

// Puts every subcommand under the heading "Lệnh"; call once all are added.
void nameSubcommandGroups(CLI::App& app);

// A usage error CLI11 phrased in English, in Vietnamese; option names,
// values and codes stay as they were written.
std::string usageErrorText(const std::string& english);

}  // namespace palisor
