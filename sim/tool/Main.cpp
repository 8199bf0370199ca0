// burnwright-sim: prepares and shows a simulator state file.
#include "core/ProgramInfo.h"
#include "sim/StateTool.h"

#include <iostream>

int main(int argc, char** argv) {
    if (core::AnswerHelpOrVersion(argc, argv, "burnwright-sim", sim::StateToolUsage()))
        return 0;
    return sim::RunStateTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
