// The kvr commands, each given its parsed command line.
#ifndef KVR_TOOLS_COMMANDS_H
#define KVR_TOOLS_COMMANDS_H

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tools/kvr_file.h"

namespace kvr::tools {

struct CommandLine {
    std::string command;
    std::vector<std::string> operands;
    // Options with a value, in the order given (--key may repeat).
    std::multimap<std::string, std::string> values;
    std::vector<std::string> flags;  // options without a value

    bool has_flag(const std::string& name) const;
    // The option's value, or null when it was not given.
    const std::string* value(const std::string& name) const;
};

struct Streams {
    std::FILE* out;
    std::FILE* err;
    // "kvr: FILE: what" on the message stream.
    void error(const std::string& file, const std::string& what) const;
    void warn(const std::string& file, const std::string& what) const { error(file, what); }
};

// Which organization the file has (kvr_file.h identify); false when it is
// none, after saying why.
bool identify_file(const std::string& path, const Streams& io, Organization* organization);

int command_info(const CommandLine& line, const Streams& io);
int command_check(const CommandLine& line, const Streams& io);
int command_dump(const CommandLine& line, const Streams& io);
int command_unload(const CommandLine& line, const Streams& io);
int command_load(const CommandLine& line, const Streams& io);
int command_rebuild(const CommandLine& line, const Streams& io);
int command_convert(const CommandLine& line, const Streams& io);

}  // namespace kvr::tools

#endif
