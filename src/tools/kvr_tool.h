// The kvr utility as a library: one command line in, its output, messages
// and exit status out. The `kvr` program is a thin main() around run(); the
// tests and the fuzz target call run() in-process.
//
//   kvr info FILE                 what the file is and how its space divides
//   kvr check FILE                every problem the checkers find (exit 0
//                                 sound, 1 damaged, 2 unreadable)
//   kvr dump FILE [--key N] [--from V] [--to V] [--columns | --hex]
//   kvr unload FILE OUT [--text | --format dump | --format gnucobol]
//                                 records in prime-key order to a sequential,
//                                 line-sequential, dump (dump_format.h) or
//                                 GnuCOBOL file
//   kvr load FILE IN [--text | --format gnucobol]
//            (--like OTHER | --record L[-M] (--key P:L[:dups]... | --relative |
//             --sequential))
//   kvr load FILE IN --format dump
//   kvr rebuild FILE              indexes rebuilt from the data store
//   kvr convert FILE              block format to slot format
//
// --verbose, before the command or among its options, adds the engines'
// result codes to the messages, which otherwise say what happened in words.
//
// Exit status: 0 success, 1 the file is damaged or some records were
// refused (reported), 2 the command could not be carried out (bad usage, a
// file that cannot be read or written).
#ifndef KVR_TOOLS_KVR_TOOL_H
#define KVR_TOOLS_KVR_TOOL_H

#include <cstdio>

namespace kvr::tools {

inline constexpr int kExitOk = 0;
inline constexpr int kExitDamaged = 1;
inline constexpr int kExitFailed = 2;

// argv[0] is the program's name. out receives the command's output, err
// messages and the progress bar (drawn only when err is a terminal).
int run(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

}  // namespace kvr::tools

#endif
