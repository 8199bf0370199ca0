// burnwright-sim: prepares and shows a simulator state file.
#include "sim/StateTool.h"

#include <iostream>

int main(int argc, char** argv) {
    return sim::RunStateTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
