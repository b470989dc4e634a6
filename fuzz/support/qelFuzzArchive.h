// Runs the reader on an archive file the way the program does, in a fresh
// directory tree, and checks that nothing appears outside the output
// directory and that a failed run leaves the tree as it found it.
#pragma once

#include <string>

namespace qelfuzz {

// Writes the archive into a fresh scratch tree (scratch/a/archive, output
// directory scratch/a/out/), runs trailer, passphrase and extraction, and
// aborts on a broken invariant.
void extractInScratch(const std::string &archiveBytes, const char *passphrase);

} // namespace qelfuzz
