// Region files as text: parsing, for the public reader, the descriptor
// executable (which keeps each region's numbers as written) and the fuzzer,
// and the text the writer writes.
#pragma once

#include <string>
#include <vector>

#include "orvo/region.h"

namespace orvo::detail {

// Parses a whole region file held in `text`; `name` stands for the file in
// messages. `offset` is subtracted from each centre. When `written` is not
// null it receives each region's five numbers exactly as they were written,
// separated by single spaces. Throws RegionFileError "<name>:<line>: ...".
std::vector<Region> parse_region_text(const std::string& text, const std::string& name, double offset,
                                      std::vector<std::string>* written = nullptr);

// Reads the file whole, then parses it as above. Throws RegionFileError
// "<path>: <reason>" when it cannot be read.
std::vector<Region> read_region_text(const std::string& path, double offset,
                                     std::vector<std::string>* written = nullptr);

// The whole text of the region file of `regions` (each centre plus
// `offset`). Throws std::invalid_argument when a region cannot be written
// (orvo::unwritable_reason).
std::string region_file_text(const std::vector<Region>& regions, double offset);

}  // namespace orvo::detail
