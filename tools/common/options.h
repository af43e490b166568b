// The command line every tool reads: options as "--name value" or
// "--name=value", options that take no value, operands (file names), and
// "--", after which every argument is an operand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {

enum class ParseOutcome { Run, Help, Version, Error };

// Where a reading of argv has got to.
struct Arguments {
    int count;
    const char* const* values;
    int next = 1; // values[0] is the program
    bool optionsEnded = false;
};

struct Argument {
    bool operand;      // a file name, say, rather than an option
    std::string name;  // the option ("--method"), or the operand itself
    std::string value; // of an option that takes one
};

// The options a tool knows.
struct OptionNames {
    std::vector<std::string> flags;  // take no value
    std::vector<std::string> valued; // take one
};

// Reads the next argument. False at the end, and false with a line in error
// where an option is unknown or malformed: a value given to an option that
// takes none, or none to one that takes one.
bool nextArgument(Arguments& arguments, const OptionNames& names, Argument& argument,
                  std::string& error);

// Decimal digits only, at most max: no sign, no blanks, no trailing text.
bool parseCount(const std::string& text, uint64_t max, uint64_t& value);

// Leaves message in error and says the line was refused.
ParseOutcome fail(std::string& error, const std::string& message);

} // namespace vantrel
