#include "tools/common/options.h"

#include <algorithm>

namespace vantrel {

namespace {

bool named(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

bool nextArgument(Arguments& arguments, const OptionNames& names, Argument& argument,
                  std::string& error) {
    error.clear();
    if (arguments.next >= arguments.count)
        return false;
    const std::string text = arguments.values[arguments.next++];
    if (!arguments.optionsEnded && text == "--") {
        arguments.optionsEnded = true;
        return nextArgument(arguments, names, argument, error);
    }
    // "-" alone names standard input or output, as an operand does.
    if (arguments.optionsEnded || text.size() < 2 || text[0] != '-') {
        argument = {true, text, {}};
        return true;
    }
    const size_t equals = text.find('=');
    argument = {false, text.substr(0, equals), {}};
    if (named(names.flags, argument.name)) {
        if (equals == std::string::npos)
            return true;
        error = argument.name + " takes no value";
        return false;
    }
    if (!named(names.valued, argument.name)) {
        error = "unknown option '" + argument.name + "' (see --help)";
        return false;
    }
    if (equals != std::string::npos) {
        argument.value = text.substr(equals + 1);
        return true;
    }
    if (arguments.next >= arguments.count) {
        error = argument.name + " needs a value";
        return false;
    }
    argument.value = arguments.values[arguments.next++];
    return true;
}

bool parseCount(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty())
        return false;
    uint64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + static_cast<uint64_t>(c - '0');
        if (result > max)
            return false;
    }
    value = result;
    return true;
}

ParseOutcome fail(std::string& error, const std::string& message) {
    error = message;
    return ParseOutcome::Error;
}

} // namespace vantrel
