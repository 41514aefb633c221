#pragma once
// Where the programs find their data (the sounds): beside the program in a
// build tree, then relative to the program in an installed tree (so that a
// moved install still works), then in the prefix it was installed to.
#include <filesystem>
#include <string>
#include <vector>

namespace dialvo {

// The folder of the running program; empty when it cannot be had.
std::filesystem::path ProgramDirectory();

// The places looked in for the data folder sub, in order, for a program in
// programDir: programDir/sub, programDir/../share/orvanta-dialvo/sub, and
// the installed data folder's sub.
std::vector<std::filesystem::path> DataCandidates(const std::filesystem::path& programDir,
                                                  const std::string& sub);

// The first candidate that exists for the running program; the first
// candidate when none does.
std::filesystem::path FindDataDirectory(const std::string& sub);

}  // namespace dialvo
