// The whole run: the batch over the arguments, the standard descriptors,
// the buffers and the signals.
//
// Each argument gets its lines (rules/report_lines.hpp). An output appears
// whole or not at all (output_file.hpp); what its name held before a
// failure is left exactly as it was; who may read it is decided by
// rules/access_rule.hpp. A run stopped by a signal (interrupt.hpp) removes
// its temporary, prints the lines of the files it finished (and, on a
// terminal, the "Can't write" line of one it cut short after its stripping
// line), and dies of the signal.
#pragma once

namespace geos {

// Takes main's argument count and vector, strips every file named, prints
// the report lines to standard output and returns the exit status: 1 when
// no file name is given (after the usage line), else 0, whatever became of
// each file. Writes nothing to standard error. Where no memory can be had
// for the batch, every argument gets "Can't open".
int run(int argc, const char* const* argv);

}  // namespace geos
