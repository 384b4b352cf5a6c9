// The harnesses' scratch files: the decoders read from a file name, so each input is
// written to a folder of its own process (in memory under /dev/shm where there is one).
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

namespace FuzzFiles {

// Writes the bytes to "input" + suffix in the process's folder and returns the path; the
// folder goes when the process exits normally (see SEAMWRIGHT_FUZZ_SCRATCH for the rest).
QString write(const uint8_t* data, size_t size, const QString& suffix);

} // namespace FuzzFiles
