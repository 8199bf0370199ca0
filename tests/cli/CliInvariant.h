// The invariant of tests/support/Invariant.h for burnwright-cli runs on a
// state file: the writer's chips and counters read from the file, the
// settings file's counters, the production record, and what a command's
// JSON report or record lines say of each socket.
#pragma once

#include "tests/cli/CliProcess.h"
#include "tests/support/Invariant.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace clitest {

// Writer `member`'s chips and counters ("writer"), the counters a window
// starting now takes ("start": the writer's information block, or the
// settings file when the writer holds none), the settings file's
// ("settings", unless `withSettings` is false: a file other processes
// share), and the record at `recordPath` (when not empty).
invariant::Observation ObserveCli(const CliFolder& folder, int member,
                                  const std::string& recordPath = "", bool withSettings = true);

// What a command's JSON report says of each socket: programmed when its
// steps hold "Program", OK when its state is OK (as the exit code counts);
// only verified and OK holds the image too. With `record`, the production
// record must have gained a line for each enabled socket. The counters it
// reports become place "report" of `after` (and the "start" counters of
// `before`): every place must reach the "start" counters plus the chips.
invariant::Report ReportFromJson(const nlohmann::json& doc, std::vector<uint8_t> chipImage,
                                 bool record, invariant::Observation& before,
                                 invariant::Observation& after);

// What the record lines a run added say, for a run killed before its report.
invariant::Report ReportFromRecord(const std::vector<invariant::RecordLine>& added,
                                   std::vector<uint8_t> chipImage);

// Adds the breaches of Check to the running test.
void ExpectInvariant(const invariant::Observation& before, const invariant::Observation& after,
                     const invariant::Report& report, const std::string& where);

} // namespace clitest
