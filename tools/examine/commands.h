#pragma once
// The commands of ombrel-inspect, each over an already parsed command line. Each returns its
// exit status (examine.h) and throws only for failures that end the whole command.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "model/common.h"
#include "tools/examine/examine.h"
#include "tools/examine/value_text.h"

namespace ombrel::inspect {

struct command_options {
  std::filesystem::path path;
  bool json = false;
  tx_timestamp timestamp = TX_TIMESTAMP_LATEST;
  std::optional<std::vector<std::string>> columns;  // dump: these, in this order
  std::optional<uint64_t> limit;
  text_form format = text_form::csv;
};

int list_storage(const command_options& options, std::ostream& out, std::ostream& err);
int describe_segment(const command_options& options, std::ostream& out, std::ostream& err);
int verify_storage(const command_options& options, std::ostream& out, std::ostream& err,
                   const terminal& term);
int dump_rows(const command_options& options, std::ostream& out, std::ostream& err);

}  // namespace ombrel::inspect
